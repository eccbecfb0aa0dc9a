#pragma once

#include "settings/SettingsManager.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace tallyvox::cli {

enum Exit { ok = 0, failed = 1, usageError = 2, missingFile = 3, unknownModel = 4 };

// Each adds its command to `app`; running it stores the command's exit code in `exitCode`.
// The settings commands and the headless mode read and write `stores` (the model list reads
// it), which outlives parsing.
void addRunCommand(CLI::App& app, const SettingsStores& stores, int& exitCode);
void addTranscribeCommand(CLI::App& app, int& exitCode);
void addModelsCommand(CLI::App& app, const SettingsStores& stores, int& exitCode);
void addSettingsCommands(CLI::App& app, const SettingsStores& stores, int& exitCode);
void addExportCommand(CLI::App& app, int& exitCode);
void addSearchCommand(CLI::App& app, const SettingsStores& stores, int& exitCode);
void addTabsCommand(CLI::App& app, int& exitCode);

} // namespace tallyvox::cli

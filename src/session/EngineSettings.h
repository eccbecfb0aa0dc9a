#pragma once

#include "settings/SettingsManager.h"
#include "types/EngineTypes.h"
#include "types/WhisperModel.h"

#include <filesystem>
#include <optional>
#include <string>

namespace tallyvox::SessionSettings {

// The language setting when the recogniser knows every code in it, else "en+hi".
std::string checkedLanguage(const std::optional<std::string>& language);

// The options a new session's engine runs with, read afresh.
EngineOptions transcriptionOptions(const SettingsStores& stores);

// Why a Whisper model file the user named cannot be used, in a sentence for them; nothing
// when it is a file that begins as whisper.cpp's model files do. Reads only that beginning.
std::optional<std::string> modelFileProblem(const std::filesystem::path& file);

// Why a session cannot start with this model (or the file named instead of it), in a sentence
// for the user; nothing when it can. Logged.
std::optional<std::string> modelProblem(const std::optional<std::filesystem::path>& modelFile,
                                        WhisperModel model);

} // namespace tallyvox::SessionSettings

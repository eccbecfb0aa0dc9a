#pragma once

#include "base/Clock.h"
#include "session/AppLifecycleManager.h"
#include "settings/SettingsManager.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tallyvox::ui {

// What the app around the views does for them: its windows, quitting, and the desktop's
// file handling. Members left empty are not available (the views then hide their control).
struct DesktopActions {
    std::function<void()> showLiveTranscript;
    std::function<void()> showPastSearch;
    std::function<void()> showSettings;
    // Defers while a transcript is being finished.
    std::function<void()> quit;
    // Each answers why it could not, shown in the panel.
    std::function<std::optional<std::string>(const std::filesystem::path&)> openFile;
    std::function<std::optional<std::string>(const std::filesystem::path&)> revealFile;
    // Opens the desktop's settings page for `page` ("microphone", "accessibility").
    std::function<void(const std::string& page)> openSystemSettings;
    // Whether the desktop asks for less motion; empty: Qt's reading of the platform theme.
    std::function<bool()> reduceMotion;
};

// Everything a view reads and calls. Every surface shares the one manager.
struct UiContext {
    std::shared_ptr<AppLifecycleManager> manager;
    SettingsStores stores;
    Clock& clock;
    DesktopActions actions;
};

} // namespace tallyvox::ui

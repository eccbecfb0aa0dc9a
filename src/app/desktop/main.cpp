// tallyvox: the desktop app. A tray item and its panel over the same session manager and Linux
// services as the command line's headless mode.

#include "DesktopFiles.h"
#include "SignalWatch.h"
#include "SingleInstance.h"

#include "app/linux/LinuxPlatformServices.h"
#include "base/Log.h"
#include "session/AppLifecycleManager.h"
#include "settings/ProtectedSettings.h"
#include "settings/UserDefaults.h"
#include "transcription/WhisperContext.h"
#include "ui/DesktopApp.h"
#include "ui/PastSearchWindow.h"
#include "ui/QtExecutor.h"
#include "ui/TrayIcons.h"

#include <QApplication>
#include <QEventLoop>
#include <QSessionManager>

#include <cstring>
#include <filesystem>
#include <iostream>

namespace {

std::string executablePath() {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? "tallyvox" : self.string();
}

int runApp(int argc, char** argv) {
    using namespace tallyvox;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tallyvox"));
    QApplication::setDesktopFileName(QStringLiteral("tallyvox"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(ui::appIcon());
    bool noTray = false;
    for (int i = 1; i < argc; ++i)
        noTray = noTray || std::strcmp(argv[i], "--no-tray") == 0;

    desktop::SingleInstance instance;
    if (instance.askRunningToShow()) {
        std::cout << "Tallyvox is already running; its panel was brought forward.\n";
        return 0;
    }
    Log::enableStderr();
    silenceWhisperLogs();

    ui::QtExecutor main;
    Clock& clock = Clock::system();
    UserDefaults defaults(UserDefaults::standardFile());
    const SettingsStores stores{defaults, ProtectedSettings::url()};
    auto services = linux_services::linuxPlatformServices(main, clock, executablePath());
    auto manager = AppLifecycleManager::make(main, clock, std::move(services), stores);

    ui::DesktopApp::Options options;
    options.useTray = !noTray;
    options.openFile = desktop::openFile;
    options.revealFile = desktop::revealFile;
    options.openSystemSettings = desktop::openSystemSettings;
    ui::DesktopApp desktopApp(manager, stores, clock, options);
    desktopApp.makePastSearch = [](ui::UiContext& c) { return new ui::PastSearchWindow(c); };
    instance.listen([&desktopApp] { desktopApp.showPanel(); });
    desktopApp.start();

    desktop::SignalWatch signalWatch([&desktopApp](int signal) {
        Log::info("Signal {}: quitting", signal);
        desktopApp.quit();
    });
    // Logging out: the session manager waits while we save. The transcript is finished
    // before we answer, so nothing said in the meeting is lost with the session.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, [&](QSessionManager&) {
        if (!manager->session.get() && !manager->finishing.get())
            return;
        QEventLoop wait;
        bool done = false;
        manager->finishForQuit([&] {
            done = true;
            wait.quit();
        });
        if (!done)
            wait.exec();
    });

    const int code = QApplication::exec();
    Log::info("Tallyvox quit");
    return code;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return runApp(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "tallyvox: " << error.what() << "\n";
    } catch (...) {
        std::cerr << "tallyvox: an unexpected error stopped the app.\n";
    }
    return 1;
}

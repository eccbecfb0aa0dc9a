// tallyvox: the desktop app. A tray item and its panel over the same session manager and Linux
// services as the command line's headless mode.

#include "DesktopFiles.h"
#include "SignalWatch.h"
#include "SingleInstance.h"

#include "app/linux/ColorScheme.h"
#include "app/linux/LinuxPlatformServices.h"
#include "app/linux/PortalSettings.h"
#include "app/linux/ReducedMotion.h"
#include "app/linux/ShutdownWatcher.h"
#include "base/Log.h"
#include "session/AppLifecycleManager.h"
#include "settings/AppInfo.h"
#include "settings/ProtectedSettings.h"
#include "settings/UserDefaults.h"
#include "transcription/WhisperContext.h"
#include "ui/DesktopApp.h"
#include "ui/Palette.h"
#include "ui/QtExecutor.h"
#include "ui/TrayIcons.h"

#include <QApplication>
#include <QEventLoop>
#include <QSessionManager>

#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <vector>

namespace {

std::string executablePath() {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? "tallyvox" : self.string();
}

// What `tallyvox-cli run` also takes: model files, and stand-in meeting apps for trying it out
// (a real install is recognised without them).
struct RunOptions {
    std::optional<std::filesystem::path> modelFile, vadFile;
    std::vector<std::filesystem::path> trustZoom, trustTeams;
    bool noTray = false, help = false, version = false;
};

constexpr const char* usage =
    "Usage: tallyvox [OPTIONS]\n"
    "Tallyvox keeps a private, on-device transcript of your Zoom, Microsoft Teams and Google\n"
    "Meet meetings. It runs in the tray (or in a window where the desktop shows no tray).\n"
    "\n"
    "Options:\n"
    "  --no-tray           show the panel as a window, without a tray icon\n"
    "  --model FILE        transcribe with this Whisper model file\n"
    "  --vad FILE          find speech with this voice-activity model file\n"
    "  --trust-zoom FILE   take this executable as Zoom, for trying Tallyvox out\n"
    "  --trust-teams FILE  take this executable as Teams, for trying Tallyvox out\n"
    "  --help              show this help and exit\n"
    "  --version           show the version and exit\n"
    "Qt's own options (such as -platform NAME) are taken too.\n";

// A command line that cannot be run as given.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads "--name VALUE" and "--name=VALUE". Single-dash options are Qt's and left to it; an
// unknown double-dash option, or one without its value, is a usage error rather than ignored,
// so a mistyped option never starts the app as if it had not been given.
RunOptions runOptions(int argc, char** argv) {
    RunOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (!arg.starts_with("--"))
            continue;
        auto equals = arg.find('=');
        std::string name = arg.substr(0, equals);
        auto value = [&]() -> std::filesystem::path {
            if (equals != std::string::npos)
                return arg.substr(equals + 1);
            if (i + 1 >= argc)
                throw UsageError(name + " needs a file");
            return argv[++i];
        };
        if (name == "--model")
            options.modelFile = value();
        else if (name == "--vad")
            options.vadFile = value();
        else if (name == "--trust-zoom")
            options.trustZoom.push_back(value());
        else if (name == "--trust-teams")
            options.trustTeams.push_back(value());
        else if (arg == "--no-tray")
            options.noTray = true;
        else if (arg == "--help")
            options.help = true;
        else if (arg == "--version")
            options.version = true;
        else
            throw UsageError("unknown option " + arg);
    }
    return options;
}

tallyvox::TrustedApp standIn(tallyvox::Platform platform, const std::filesystem::path& executable) {
    tallyvox::TrustedApp app;
    app.platform = platform;
    app.exactPaths = {std::filesystem::absolute(executable).string()};
    return app;
}

int runApp(int argc, char** argv, const RunOptions& run) {
    using namespace tallyvox;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tallyvox"));
    QApplication::setDesktopFileName(QStringLiteral("tallyvox"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(ui::appIcon());
    const bool noTray = run.noTray;
    TrustList trust = AppGenuineness::vendors();
    for (const auto& path : run.trustZoom)
        trust.push_back(standIn(Platform::zoom, path));
    for (const auto& path : run.trustTeams)
        trust.push_back(standIn(Platform::teams, path));

    desktop::SingleInstance instance;
    if (instance.askRunningToShow()) {
        std::cout << "Tallyvox is already running; its panel was brought forward.\n";
        return 0;
    }
    Log::enableStderr();
    silenceWhisperLogs();
    // Before any window is made: widgets take the palette they are made with.
    linux_services::PortalSettings portal;
    ui::usePalette(linux_services::desktopPrefersDark(portal));

    ui::QtExecutor main;
    Clock& clock = Clock::system();
    UserDefaults defaults(UserDefaults::standardFile());
    const SettingsStores stores{defaults, ProtectedSettings::url()};
    auto services = linux_services::linuxPlatformServices(main, clock, executablePath(), trust);
    if (run.modelFile || run.vadFile) {
        services.loadRecognizer = [modelFile = run.modelFile,
                                   vadFile = run.vadFile](WhisperModel model) {
            return whisperLoader(modelFile.value_or(model.localPath()),
                                 vadFile.value_or(VADModel::localPath()),
                                 linux_services::useGPUSetting)(model);
        };
    }
    auto manager = AppLifecycleManager::make(main, clock, std::move(services), stores);

    ui::DesktopApp::Options options;
    options.useTray = !noTray;
    options.openFile = desktop::openFile;
    // The same file-manager call the export uses.
    options.revealFile = manager->services().revealFile;
    options.openSystemSettings = desktop::openSystemSettings;
    // Asked once, as the palette is: the portal answers over the bus, and lines arrive often.
    options.reduceMotion = [still = linux_services::desktopReducesMotion(portal)] { return still; };
    ui::DesktopApp desktopApp(manager, stores, clock, options);
    instance.listen([&desktopApp] { desktopApp.showPanel(); });
    desktopApp.start();
    Log::info("Tallyvox {} started", AppInfo::summary());

    // A click on one of our notifications opens the panel.
    Subscription notificationClicks;
    if (manager->services().observeNotificationClicks)
        notificationClicks = manager->services().observeNotificationClicks(
            [&desktopApp] { desktopApp.showPanel(); });

    // A power-off or reboot waits (as long as logind allows) while the transcript is
    // finished and saved, then the app quits with the system.
    linux_services::ShutdownWatcher shutdownWatch([&main, manager](std::function<void()> done) {
        main.post([manager, done] {
            Log::info("The system is shutting down: quitting");
            manager->finishForQuit([done] {
                done();
                QCoreApplication::quit();
            });
        });
    });

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
    RunOptions run;
    try {
        run = runOptions(argc, argv);
    } catch (const UsageError& error) {
        std::cerr << "tallyvox: " << error.what() << " (see tallyvox --help)\n";
        return 2;
    }
    if (run.help) {
        std::cout << usage;
        return 0;
    }
    if (run.version) {
        std::cout << "tallyvox " << tallyvox::AppInfo::summary() << "\n";
        return 0;
    }
    try {
        return runApp(argc, argv, run);
    } catch (const std::exception& error) {
        std::cerr << "tallyvox: " << error.what() << "\n";
    } catch (...) {
        std::cerr << "tallyvox: an unexpected error stopped the app.\n";
    }
    return 1;
}

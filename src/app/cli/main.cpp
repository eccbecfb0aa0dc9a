// tallyvox-cli: the command line and the headless mode of Tallyvox.

#include "Commands.h"

#include "base/Log.h"
#include "settings/AppInfo.h"
#include "settings/ProtectedSettings.h"
#include "transcription/WhisperContext.h"

#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>

namespace {

int runCommandLine(int argc, char** argv) {
    using namespace tallyvox;
    CLI::App app{"Tallyvox transcribes Zoom, Teams and Meet meetings on this computer.",
                 "tallyvox-cli"};
    app.set_version_flag("--version", "tallyvox-cli " + AppInfo::summary());
    app.require_subcommand(1);
    Log::enableStderr();
    silenceWhisperLogs();
    // The user's own settings, opened once for whichever command runs.
    UserDefaults defaults(UserDefaults::standardFile());
    const SettingsStores stores{defaults, ProtectedSettings::url()};
    int exitCode = cli::ok;
    cli::addRunCommand(app, stores, exitCode);
    cli::addTranscribeCommand(app, exitCode);
    cli::addModelsCommand(app, stores, exitCode);
    cli::addSettingsCommands(app, stores, exitCode);
    cli::addExportCommand(app, exitCode);
    cli::addSearchCommand(app, stores, exitCode);
    cli::addTabsCommand(app, exitCode);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& done) {
        return app.exit(done); // --help, --version
    } catch (const CLI::ParseError& error) {
        app.exit(error);
        return cli::usageError;
    }
    return exitCode;
}

} // namespace

int main(int argc, char** argv) {
    // Commands report what they expect to go wrong themselves; anything else still ends
    // with a sentence and a failure code, not an abort.
    try {
        return runCommandLine(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "tallyvox-cli: " << error.what() << "\n";
    } catch (...) {
        std::cerr << "tallyvox-cli: an unexpected error stopped the command.\n";
    }
    return tallyvox::cli::failed;
}

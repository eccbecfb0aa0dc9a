// tallyvox-cli: the command line and the headless mode of Tallyvox.

#include "Commands.h"

#include "base/Log.h"
#include "transcription/WhisperContext.h"

#include <iostream>

namespace tallyvox::cli {

int usage() {
    std::cerr
        << "usage: tallyvox-cli run [--model PATH] [--vad PATH] [--trust-zoom|--trust-teams PATH]\n"
           "       tallyvox-cli transcribe FILE [--model NAME|PATH] [--vad PATH] [--language "
           "CODE]\n"
           "                        [--chunk SECONDS] [--realtime] [--output FILE]\n"
           "                        [--format txt|md|srt]\n"
           "       tallyvox-cli models [list|download NAME]\n"
           "       tallyvox-cli settings [list|get KEY|set KEY VALUE]\n"
           "       tallyvox-cli consent standing [on|off|status] [--yes]\n";
    return usageError;
}

} // namespace tallyvox::cli

int main(int argc, char** argv) {
    using namespace tallyvox;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return cli::usage();
    Log::enableStderr();
    silenceWhisperLogs();
    std::string command = args[0];
    args.erase(args.begin());
    if (command == "transcribe")
        return cli::transcribeCommand(args);
    if (command == "models")
        return cli::modelsCommand(args);
    if (command == "settings")
        return cli::settingsCommand(args);
    if (command == "consent")
        return cli::consentCommand(args);
    if (command == "run")
        return cli::runCommand(args);
    return cli::usage();
}

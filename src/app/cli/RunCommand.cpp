// tallyvox-cli run: the headless mode. One session manager with the desktop's real services
// on the command line's own loop; what happens is printed as it happens.

#include "Commands.h"
#include "Signals.h"

#include "app/linux/LinuxPlatformServices.h"
#include "base/EventLoop.h"
#include "base/Log.h"
#include "session/AppLifecycleManager.h"
#include "session/EngineSettings.h"
#include "settings/AppInfo.h"
#include "settings/ConsentManager.h"
#include "settings/SettingsManager.h"
#include "transcription/WhisperContext.h"
#include "transcripts/TranscriptFormat.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <filesystem>
#include <iostream>
#include <optional>
#include <pthread.h>
#include <set>
#include <thread>
#include <unistd.h>

namespace tallyvox::cli {

namespace {

std::string executablePath() {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? "tallyvox-cli" : self.string();
}

void say(const std::string& line) {
    std::cout << line << std::endl;
}

// Asks at the terminal, one meeting at a time, whether a detected meeting may be
// transcribed. Answers arrive from a reader thread through the main loop.
class ConsentPrompt {
public:
    explicit ConsentPrompt(std::shared_ptr<AppLifecycleManager> manager)
        : manager_(std::move(manager)) {}

    void offer(const DetectedMeeting& meeting) {
        if (pending_ || manager_->session.get() || manager_->finishing.get())
            return;
        pending_ = meeting;
        std::cout << rawValue(meeting.platform) << " meeting detected (" << meeting.id()
                  << "). Start transcription? Confirm that all participants know this meeting "
                     "is being transcribed and have agreed [y/N]: "
                  << std::flush;
    }

    void answer(const std::string& line) {
        auto meeting = std::exchange(pending_, std::nullopt);
        if (!meeting)
            return;
        bool yes = line == "y" || line == "Y" || line == "yes";
        // The meeting may have ended while the question stood.
        const auto& running = manager_->detection().meetings.get();
        bool stillThere = std::find(running.begin(), running.end(), *meeting) != running.end();
        if (!yes || !stillThere) {
            say(yes ? "That meeting has ended." : "Not transcribing " + meeting->id() + ".");
            return;
        }
        if (auto consent = ConsentManager::confirm(*meeting, true, Clock::system().now()))
            manager_->start(*meeting, *consent);
    }

    void withdraw(const std::vector<DetectedMeeting>& running) {
        if (pending_ && std::find(running.begin(), running.end(), *pending_) == running.end()) {
            pending_.reset();
            say("\nThe meeting ended before it was confirmed.");
        }
    }

private:
    std::shared_ptr<AppLifecycleManager> manager_;
    std::optional<DetectedMeeting> pending_;
};

struct RunOptions {
    std::optional<std::filesystem::path> modelFile, vadFile;
    std::vector<std::filesystem::path> trustZoom, trustTeams, trustBrowser;
};

// One more executable accepted as that maker's app, for trying it out with a stand-in
// program; a real install is recognised without it.
TrustedApp standIn(Platform platform, const std::filesystem::path& executable) {
    TrustedApp app;
    app.platform = platform;
    app.exactPaths = {std::filesystem::absolute(executable).string()};
    return app;
}

int run(const RunOptions& options, const SettingsStores& stores) {
    const auto& modelFile = options.modelFile;
    const auto& vadFile = options.vadFile;
    TrustList trust = AppGenuineness::vendors();
    for (const auto& path : options.trustZoom)
        trust.push_back(standIn(Platform::zoom, path));
    for (const auto& path : options.trustTeams)
        trust.push_back(standIn(Platform::teams, path));
    for (const auto& path : options.trustBrowser)
        trust.push_back(standIn(Platform::meet, path));

    blockQuitSignals();

    auto sharedLoop = std::make_shared<EventLoop>();
    EventLoop& loop = *sharedLoop;
    Clock& clock = Clock::system();
    auto services = linux_services::linuxPlatformServices(loop, clock, executablePath(), trust);
    services.commandLine = true;
    if (modelFile || vadFile) {
        services.loadRecognizer = [modelFile, vadFile](WhisperModel model) {
            return whisperLoader(modelFile.value_or(model.localPath()),
                                 vadFile.value_or(VADModel::localPath()),
                                 linux_services::useGPUSetting)(model);
        };
    }
    auto manager = AppLifecycleManager::make(loop, clock, std::move(services), stores);
    if (modelFile)
        manager->useModelFile(*modelFile);
    say("Tallyvox " + AppInfo::summary() + " is watching for Zoom, Teams and Meet meetings. " +
        (manager->automatic.get() ? "Standing consent is on: meetings are transcribed "
                                    "automatically."
                                  : "Each meeting asks before it is transcribed.") +
        " Ctrl-C quits.");

    if (modelFile) {
        if (auto problem = SessionSettings::modelFileProblem(*modelFile))
            say(*problem + " Meetings cannot be transcribed with it.");
    } else {
        auto model = SettingsManager::model(stores);
        if (!model.isDownloaded())
            say("The Whisper " + std::string(model.title()) + " model (" +
                std::string(model.sizeLabel()) +
                ") is not downloaded yet, so meetings cannot be transcribed: run "
                "\"tallyvox-cli models download " +
                std::string(model.rawValue()) +
                "\", or choose another model with "
                "\"tallyvox-cli settings set whisperModel NAME\".");
    }

    std::vector<Subscription> watching;
    // Shared with the reader thread, which may outlive this function.
    auto prompt = std::make_shared<ConsentPrompt>(manager);
    bool interactive = ::isatty(STDIN_FILENO);

    std::set<std::string> known;
    watching.push_back(
        manager->detection().meetings.observe([&](const std::vector<DetectedMeeting>& now) {
            std::set<std::string> current;
            for (const auto& meeting : now) {
                current.insert(meeting.id());
                if (known.count(meeting.id()))
                    continue;
                say("Meeting detected: " + meeting.appName + " (" + meeting.id() + ")");
                if (!manager->automatic.get() && interactive)
                    prompt->offer(meeting);
            }
            for (const auto& id : known)
                if (!current.count(id))
                    say("Meeting ended: " + id);
            known = std::move(current);
            prompt->withdraw(now);
        }));
    watching.push_back(manager->session.observe([&](const auto& session) {
        if (session)
            say(session->pausedAt ? "Paused" : "Transcribing " + session->meeting.id());
    }));
    std::filesystem::path announced;
    watching.push_back(manager->live().record.observe([&](const auto& record) {
        if (record && record->filePath != announced) {
            announced = record->filePath;
            say("Transcript: " + announced.string());
        }
    }));
    watching.push_back(manager->finishing.observe([&](bool finishing) {
        if (finishing)
            say("Finishing the transcript…");
    }));
    // Only a transcript that is really on disk is reported saved.
    watching.push_back(manager->savedTranscript.observe([&](const auto& file) {
        if (file)
            say("Saved: " + file->string());
    }));
    // Said when it begins; the figure it updates while the audio waits would fill the terminal.
    bool behindSaid = false;
    watching.push_back(manager->fallingBehind.observe([&](const auto& behind) {
        if (behind && !behindSaid)
            say(behind->text());
        behindSaid = behind.has_value();
    }));
    watching.push_back(manager->lastError.observe([&](const auto& error) {
        if (error)
            say("Error: " + *error);
    }));
    size_t shown = 0;
    watching.push_back(manager->live().segments.observe([&](const auto& lines) {
        if (lines.size() < shown)
            shown = 0;
        // Like the transcript file: a name only where the line has a speaker.
        for (; shown < lines.size(); ++shown) {
            const auto& line = lines[shown];
            std::string who = line.speaker ? manager->live().speakerName(line.speaker) + ": " : "";
            say(TranscriptFormat::bracketedTimestamp(line.start) + " " + who + line.text);
        }
    }));

    if (interactive)
        std::thread([sharedLoop, prompt] {
            std::string line;
            while (std::getline(std::cin, line))
                sharedLoop->post([prompt, line] { prompt->answer(line); });
        }).detach();

    bool quitting = false;
    watchQuitSignals(sharedLoop, [&](int) {
        if (quitting) {
            say("Quitting without waiting.");
            std::_Exit(130);
        }
        quitting = true;
        say("Quitting…");
        manager->finishForQuit([&loop] { loop.quit(); });
    });

    loop.run();
    watching.clear();
    return ok;
}

} // namespace

void addRunCommand(CLI::App& app, const SettingsStores& stores, int& exitCode) {
    auto options = std::make_shared<RunOptions>();
    auto* command = app.add_subcommand(
        "run", "Watch for meetings and transcribe them (the headless mode); Ctrl-C quits");
    command->add_option("--model", options->modelFile, "Use this Whisper model file");
    command->add_option("--vad", options->vadFile, "Use this speech detector model file");
    command->add_option("--trust-zoom", options->trustZoom,
                        "Accept this executable as the Zoom app (a stand-in for trying it out)");
    command->add_option("--trust-teams", options->trustTeams,
                        "Accept this executable as the Teams app (a stand-in for trying it out)");
    command->add_option("--trust-browser", options->trustBrowser,
                        "Accept this executable as the browser its name says (chrome, firefox…; "
                        "a stand-in for trying it out)");
    command->callback([options, &stores, &exitCode] { exitCode = run(*options, stores); });
}

} // namespace tallyvox::cli

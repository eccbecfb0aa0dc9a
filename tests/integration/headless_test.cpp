// `tallyvox-cli run` end to end against a real sound server: a copy of pacat named "zoom"
// records and plays, the command line transcribes it under standing consent and writes its
// files. Run through scripts/with-sound-server.
#include "ChildProcess.h"
#include "SoundServerRequired.h"
#include "Waiting.h"
#include "base/AtomicFile.h"
#include "detection/SessionFileWriters.h"
#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

namespace tallyvox {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::since;
using testing::Steady;
using testing::TempDir;
using testing::waitFor;

using Child = testing::ChildProcess;
using testing::readText;
using testing::runToEnd;

struct HeadlessRun : ::testing::Test {
    TempDir dir;
    ScopedEnv home{"HOME", dir.path().string()};
    ScopedEnv config{"XDG_CONFIG_HOME", (dir / "config").string()};
    ScopedEnv data{"XDG_DATA_HOME", (dir / "data").string()};
    fs::path zoom = dir / "zoom";
    fs::path out = dir / "run.out";
    fs::path err = dir / "run.err";
    const double speechSeconds = 9.0;
    fs::path speech = dir / "speech48.wav";

    void SetUp() override {
        REQUIRE_SOUND_SERVER();
        testing::prepareMeetingHome(dir.path(), zoom);
        if (HasFatalFailure())
            return;

        // Speech padded to an exact length, at the rate and channels a meeting app plays.
        auto raw = (dir / "speech.wav").string();
        ASSERT_EQ(runToEnd({"espeak-ng", "-w", raw,
                            "Hello everyone, thanks for joining. Today we review the roadmap and "
                            "the sprint. The design team will show the new prototype next week."}),
                  0);
        ASSERT_EQ(runToEnd({"sox", raw, "-r", "48000", "-c", "2", speech.string(), "pad", "0", "10",
                            "trim", "0", std::to_string(speechSeconds)}),
                  0);
    }

    std::unique_ptr<Child> startRun(std::vector<std::string> args) {
        args.insert(args.begin(), {TALLYVOX_CLI, "run", "--trust-zoom", zoom.string()});
        return std::make_unique<Child>(std::move(args), "/dev/null", out, err);
    }

    std::string output() const { return readText(out); }
    std::string report() const {
        return "\n--- stdout\n" + output() + "\n--- stderr\n" + readText(err);
    }
    bool printed(const std::string& text) const { return output().find(text) != std::string::npos; }

    // The meeting app: a recorder, and a player of silence (a meeting is an app that both
    // records and plays); returns once the run transcribes it.
    struct Meeting {
        std::unique_ptr<Child> recorder, silence;
        bool started = false;
    };
    Meeting startMeeting() {
        Meeting meeting;
        meeting.recorder = std::make_unique<Child>(
            std::vector<std::string>{zoom.string(), "--record"}, "/dev/null", "/dev/null");
        meeting.silence = std::make_unique<Child>(
            std::vector<std::string>{zoom.string(), "--playback"}, "/dev/zero");
        meeting.started = waitFor(60, [&] {
            return printed("Transcribing Zoom-" + std::to_string(meeting.recorder->pid()) + "\n");
        });
        return meeting;
    }

    // The one transcript (or its diagnostics) the run saved.
    fs::path saved(bool diagnostics) const {
        std::vector<fs::path> found;
        auto root = dir / "Documents/Tallyvox";
        if (fs::exists(root))
            for (const auto& entry : fs::recursive_directory_iterator(root)) {
                auto name = entry.path().filename().string();
                if (name.ends_with(".txt") && name.ends_with(".diagnostics.txt") == diagnostics)
                    found.push_back(entry.path());
            }
        EXPECT_EQ(found.size(), 1u) << (diagnostics ? "diagnostics" : "transcripts");
        return found.empty() ? fs::path() : found.front();
    }
    std::string transcript() const { return readText(saved(false)); }
    std::string diagnostics() const { return readText(saved(true)); }
};

double receivedSeconds(const std::string& diagnostics) {
    std::smatch match;
    if (!std::regex_search(diagnostics, match, std::regex("received ([0-9.]+) s of")))
        return -1;
    return std::stod(match[1]);
}

void expectCompleteHeader(const std::string& transcript) {
    EXPECT_TRUE(transcript.starts_with("Meeting: Zoom Meeting\nPlatform: Zoom\n")) << transcript;
    EXPECT_TRUE(std::regex_search(transcript, std::regex("\nEnd: [0-9]+:[0-9]{2} [AP]M\n")))
        << transcript;
    EXPECT_TRUE(std::regex_search(
        transcript, std::regex("\nConsent: Automatic transcription \\(standing consent given by "
                               "user on [0-9]+ [A-Z][a-z]+ [0-9]{4}\\)\n")))
        << transcript;
}

} // namespace

TEST_F(HeadlessRun, TranscribesAMeetingFromStartToHangUpUnderStandingConsent) {
    auto run = startRun({});
    // The capture cannot have begun before the meeting did: whatever it received fits in the
    // time from here until the meeting is seen to end, however slowly a busy machine runs.
    auto meetingBegun = Steady::now();
    auto meeting = startMeeting();
    ASSERT_TRUE(meeting.started) << report();
    std::string id = "Zoom-" + std::to_string(meeting.recorder->pid());

    meeting.silence->kill(SIGKILL);
    Child player({zoom.string(), "--playback", speech.string(), "--file-format=wav"});
    ASSERT_EQ(player.exitStatus(60), 0);
    // The app stays in the call, silent, until the server has let go of its stream.
    EXPECT_TRUE(waitFor(30, [&] {
        return readText(err).find("Meeting app sound from: nobody") != std::string::npos;
    })) << report();

    auto hungUp = Steady::now();
    meeting.recorder->kill(SIGKILL);
    // A process that goes ends its meeting at once, not after the quiet-call delay.
    ASSERT_TRUE(waitFor(30, [&] { return printed("Meeting ended: " + id + "\n"); })) << report();
    EXPECT_LT(since(hungUp), 3.0) << report();
    const double captureWindow = since(meetingBegun);
    ASSERT_TRUE(waitFor(180, [&] { return printed("Saved: "); })) << report();
    run->signal(SIGINT);
    EXPECT_EQ(run->exitStatus(60), 0) << report();

    auto text = transcript();
    expectCompleteHeader(text);
    EXPECT_TRUE(std::regex_search(text, std::regex("\n\n\\[[0-9]{2}:[0-9]{2}:[0-9]{2}\\]\n\\S")))
        << "no line block:\n"
        << text;
    auto numbers = diagnostics();
    EXPECT_NE(numbers.find("\n3. Transcript\n"), std::string::npos) << numbers;
    EXPECT_NE(numbers.find("\nHints\n"), std::string::npos) << numbers;
    double received = receivedSeconds(numbers);
    EXPECT_GE(received, speechSeconds * 0.97) << numbers;
    // Audio received twice, or invented, would pass the time that went by.
    EXPECT_LE(received, captureWindow + 0.5) << numbers;
}

TEST_F(HeadlessRun, WeightlessModelEndsTheTranscriptWithWhyItIsEmpty) {
    // The random-weight model stays in the models folder, so the start check passes.
    auto run =
        startRun({"--model", (fs::path(TALLYVOX_SHARED_DIR) / "models/for-tests-ggml-tiny.bin")});
    auto meeting = startMeeting();
    ASSERT_TRUE(meeting.started) << report();
    meeting.silence->kill(SIGKILL);
    Child player({zoom.string(), "--playback", speech.string(), "--file-format=wav"});
    ASSERT_EQ(player.exitStatus(60), 0);
    meeting.recorder->kill(SIGKILL);
    ASSERT_TRUE(waitFor(180, [&] { return printed("Saved: "); })) << report();
    run->signal(SIGINT);
    EXPECT_EQ(run->exitStatus(60), 0) << report();

    auto text = transcript();
    expectCompleteHeader(text);
    EXPECT_TRUE(text.ends_with(
        "\n\nNo speech was transcribed. Sound was received, but Whisper found no words in it.\n"))
        << text;
    EXPECT_GT(receivedSeconds(diagnostics()), speechSeconds * 0.9);
}

TEST_F(HeadlessRun, CtrlCDuringAMeetingSavesEverythingBeforeExiting) {
    auto run = startRun({});
    auto meeting = startMeeting();
    ASSERT_TRUE(meeting.started) << report();
    meeting.silence->kill(SIGKILL);
    Child player({zoom.string(), "--playback", speech.string(), "--file-format=wav"});
    ASSERT_EQ(player.exitStatus(60), 0);

    run->signal(SIGINT);
    EXPECT_EQ(run->exitStatus(180), 0) << report();
    EXPECT_TRUE(printed("Quitting…\n")) << report();
    EXPECT_TRUE(printed("Saved: ")) << report();
    auto text = transcript();
    expectCompleteHeader(text);
    auto numbers = diagnostics();
    EXPECT_NE(numbers.find("\n3. Transcript\n"), std::string::npos) << numbers;
    // The app is still in the call: only the quit ended it.
    EXPECT_EQ(::kill(meeting.recorder->pid(), 0), 0);
}

TEST_F(HeadlessRun, BrowserTabsMakeWebMeetingsMeetOnlyOnceTheBrowserIsHeard) {
    // A stand-in browser: a copy of the sound server's own client, named like Chrome.
    auto chrome = dir / "chrome";
    fs::copy_file("/usr/bin/pacat", chrome);
    fs::permissions(chrome, fs::perms::owner_all);
    // Where Chrome keeps its profile: in $XDG_CONFIG_HOME, which this test moved.
    auto sessions = dir / "config/google-chrome/Default/Sessions";
    writeFileAtomically(sessions / "Session_13380000000000000",
                        testing::SnssWriter()
                            .tabWindow(1, 7)
                            .navigation(7, 0, "https://meet.google.com/abc-defg-hij")
                            .selected(7, 0)
                            .bytes());
    // What the user can ask to see: the file read and its tabs, meeting tabs marked.
    auto tabs = dir / "tabs.out";
    Child({TALLYVOX_CLI, "tabs"}, "/dev/null", tabs).exitStatus(60);
    EXPECT_NE(
        readText(tabs).find("Google Chrome: " + (sessions / "Session_13380000000000000").string() +
                            "\n  Meet meeting: https://meet.google.com/abc-defg-hij\n"),
        std::string::npos)
        << readText(tabs);

    auto run = startRun({"--trust-browser", chrome.string()});

    Child recorder({chrome.string(), "--record"}, "/dev/null", "/dev/null");
    const std::string meet = "Meet-" + std::to_string(recorder.pid());
    EXPECT_FALSE(waitFor(5, [&] { return printed("Meeting detected: Google Chrome"); }))
        << "a Meet tab in a browser never heard is no call" << report();
    Child player({chrome.string(), "--playback"}, "/dev/zero");
    ASSERT_TRUE(waitFor(30, [&] {
        return printed("Meeting detected: Google Chrome (" + meet + ")");
    })) << report();
    EXPECT_TRUE(waitFor(30, [&] { return printed("Transcribing " + meet + "\n"); })) << report();

    // Teams needs only the recording browser and its tab.
    player.kill(SIGKILL);
    recorder.kill(SIGKILL);
    ASSERT_TRUE(waitFor(30, [&] { return printed("Meeting ended: " + meet); })) << report();
    writeFileAtomically(
        sessions / "Session_13390000000000000",
        testing::SnssWriter().navigation(3, 0, "https://teams.live.com/v2/").bytes());
    Child teamsRecorder({chrome.string(), "--record"}, "/dev/null", "/dev/null");
    EXPECT_TRUE(waitFor(30, [&] {
        return printed("Meeting detected: Google Chrome (Teams-" +
                       std::to_string(teamsRecorder.pid()) + ")");
    })) << report();
    teamsRecorder.kill(SIGKILL);
    run->signal(SIGINT);
    EXPECT_EQ(run->exitStatus(120), 0) << report();
}

} // namespace tallyvox

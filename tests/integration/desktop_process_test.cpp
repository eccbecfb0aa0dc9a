// The desktop app as a real process against the real sound server: a copy of pacat named
// "zoom" records and plays, `tallyvox` transcribes it under standing consent, and quitting
// (SIGTERM, or logind announcing a shutdown) must leave the transcript and its diagnostics
// on disk before the process ends. Run through scripts/with-sound-server.
#include "ChildProcess.h"
#include "desktop_bus_fakes.h"

#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

namespace tallyvox {
namespace {

namespace fs = std::filesystem;
using testing::BusDaemon;
using testing::closedByPeer;
using testing::FakeLogind;
using testing::ScopedEnv;
using testing::TempDir;
using testing::waitUntil;

using Process = testing::ChildProcess;
using testing::readText;
using testing::runToEnd;

struct DesktopProcess : ::testing::Test {
    TempDir dir;
    ScopedEnv home{"HOME", dir.path().string()};
    ScopedEnv config{"XDG_CONFIG_HOME", (dir / "config").string()};
    ScopedEnv data{"XDG_DATA_HOME", (dir / "data").string()};
    // No display needed; no desktop's session bus (notifications are not under test here).
    ScopedEnv platform{"QT_QPA_PLATFORM", "offscreen"};
    ScopedEnv sessionBus{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/session_bus"};
    fs::path zoom = dir / "zoom";
    fs::path out = dir / "app.out";
    fs::path err = dir / "app.err";
    fs::path speech = dir / "speech48.wav";

    void SetUp() override {
        if (runToEnd({"pactl", "info"}) != 0) {
            const char* required = std::getenv("TALLYVOX_REQUIRE_SOUND_SERVER");
            if (required && std::string(required) == "1")
                FAIL() << "no sound server answers";
            GTEST_SKIP() << "no sound server; run through scripts/with-sound-server";
        }
        testing::prepareMeetingHome(dir.path(), zoom);
        if (HasFatalFailure())
            return;
        auto raw = (dir / "speech.wav").string();
        ASSERT_EQ(runToEnd({"espeak-ng", "-w", raw,
                            "Hello everyone, thanks for joining. Today we review the roadmap."}),
                  0);
        ASSERT_EQ(runToEnd({"sox", raw, "-r", "48000", "-c", "2", speech.string()}), 0);
    }

    std::unique_ptr<Process> startApp() {
        return std::make_unique<Process>(
            std::vector<std::string>{TALLYVOX_DESKTOP, "--trust-zoom", zoom.string()}, "/dev/null",
            out, err);
    }
    std::string log() const { return readText(err); }
    std::string report() const { return "\n--- stdout\n" + readText(out) + "\n--- log\n" + log(); }
    bool logged(const std::string& text) const { return log().find(text) != std::string::npos; }

    // A meeting app that records and plays; returns once the app transcribes it and has
    // heard some speech.
    struct Meeting {
        std::unique_ptr<Process> recorder, silence;
        bool started = false;
    };
    Meeting startMeetingWithSpeech() {
        Meeting meeting;
        meeting.recorder = std::make_unique<Process>(
            std::vector<std::string>{zoom.string(), "--record"}, "/dev/null", "/dev/null");
        meeting.silence = std::make_unique<Process>(
            std::vector<std::string>{zoom.string(), "--playback"}, "/dev/zero");
        meeting.started = waitUntil(
            [&] {
                return logged("Transcribing Zoom-" + std::to_string(meeting.recorder->pid())) &&
                       !saved(false, false).empty();
            },
            60);
        if (meeting.started) {
            meeting.silence.reset();
            Process player({zoom.string(), "--playback", speech.string(), "--file-format=wav"});
            meeting.started = player.exitStatus(60) == 0;
        }
        return meeting;
    }

    // The transcript (or its diagnostics) in the transcripts folder; empty when there is none.
    fs::path saved(bool diagnostics, bool expectOne = true) const {
        std::vector<fs::path> found;
        auto root = dir / "Documents/Tallyvox";
        std::error_code error;
        if (fs::exists(root, error))
            for (const auto& entry : fs::recursive_directory_iterator(root, error)) {
                auto name = entry.path().filename().string();
                if (name.ends_with(".txt") && name.ends_with(".diagnostics.txt") == diagnostics)
                    found.push_back(entry.path());
            }
        if (expectOne) {
            EXPECT_EQ(found.size(), 1u) << (diagnostics ? "diagnostics" : "transcripts");
        }
        return found.empty() ? fs::path() : found.front();
    }

    // What quitting during a meeting must leave: a finished transcript and its report.
    void expectSavedOnQuit() {
        EXPECT_TRUE(logged("Transcription stopped: app quitting")) << report();
        auto transcript = readText(saved(false));
        EXPECT_TRUE(transcript.starts_with("Meeting: Zoom Meeting\nPlatform: Zoom\n"))
            << transcript;
        EXPECT_NE(transcript.find("\nEnd: "), std::string::npos) << "not finished:\n" << transcript;
        auto numbers = readText(saved(true));
        EXPECT_NE(numbers.find("\n3. Transcript\n"), std::string::npos) << numbers;
    }
};

} // namespace

TEST_F(DesktopProcess, TermDuringAMeetingSavesTheTranscriptThenExits) {
    auto app = startApp();
    auto meeting = startMeetingWithSpeech();
    ASSERT_TRUE(meeting.started) << report();

    app->signal(SIGTERM);
    EXPECT_EQ(app->exitStatus(180), 0) << report();
    expectSavedOnQuit();
    // The meeting app is still in the call: only the quit ended the session.
    EXPECT_EQ(::kill(meeting.recorder->pid(), 0), 0);
}

TEST_F(DesktopProcess, ShutdownWaitsForTheSavedTranscriptThenTheAppQuits) {
    BusDaemon daemon;
    ASSERT_TRUE(daemon.ok()) << "dbus-daemon did not start";
    ScopedEnv systemBus("DBUS_SYSTEM_BUS_ADDRESS", daemon.address());
    FakeLogind logind;

    auto app = startApp();
    ASSERT_TRUE(waitUntil([&] { return logind.count("shutdown/delay") == 1; }, 30))
        << "no shutdown inhibitor taken" << report();
    auto meeting = startMeetingWithSpeech();
    ASSERT_TRUE(meeting.started) << report();

    int inhibitor = logind.readEnd("shutdown/delay");
    EXPECT_FALSE(closedByPeer(inhibitor));
    logind.prepareForShutdown(true);
    // The system may go on only once everything is on disk.
    ASSERT_TRUE(waitUntil([&] { return closedByPeer(inhibitor); }, 180)) << report();
    EXPECT_FALSE(saved(true, false).empty()) << "released before the diagnostics were written";
    EXPECT_NE(readText(saved(false)).find("\nEnd: "), std::string::npos)
        << "released before the transcript was finished";
    EXPECT_EQ(app->exitStatus(60), 0) << report();
    EXPECT_TRUE(logged("The system is shutting down")) << report();
    expectSavedOnQuit();
}

TEST_F(DesktopProcess, ASecondLaunchShowsTheRunningAppAndEnds) {
    auto app = startApp();
    ASSERT_TRUE(waitUntil([&] { return logged("Tallyvox ") && logged(" started"); }, 60))
        << report();
    fs::path secondOut = dir / "second.out";
    Process second({TALLYVOX_DESKTOP}, "/dev/null", secondOut, dir / "second.err");
    EXPECT_EQ(second.exitStatus(60), 0);
    EXPECT_NE(readText(secondOut).find("already running"), std::string::npos)
        << readText(secondOut);
    EXPECT_EQ(::kill(app->pid(), 0), 0) << "the first one runs on";
    app->signal(SIGTERM);
    EXPECT_EQ(app->exitStatus(60), 0) << report();
}

} // namespace tallyvox

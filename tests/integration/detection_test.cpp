// Meeting detection against a real sound server with real processes: a copy of pacat named
// "zoom" plays and records. Run through scripts/with-sound-server.
#include "base/EventLoop.h"
#include "base/Log.h"
#include "detection/NativeMeetingDetection.h"
#include "detection/linux/ProcFs.h"
#include "detection/linux/PulseProcessList.h"
#include "fakes/TempDir.h"
#include "session/DetectionSettings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <utility>

extern char** environ;

using namespace tallyvox;
using tallyvox::testing::TempDir;
namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

namespace {

// A sound-server client run from `program`; killed and reaped when the test ends.
struct Client {
    pid_t pid = 0;
    Client(const fs::path& program, const std::string& mode)
        : Client(std::vector<std::string>{program.string(), mode}) {}
    // In a pid namespace of its own, as a flatpak runs: the player is pid 2 there and the
    // recorder, the child of `unshare`, pid 1.
    static Client sandboxedCall(const fs::path& program) {
        return Client(std::vector<std::string>{
            "/usr/bin/unshare", "--pid", "--fork", "--kill-child", "/bin/sh", "-c",
            "\"$0\" --playback </dev/zero & exec \"$0\" --record", program.string()});
    }
    explicit Client(std::vector<std::string> args) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        // Playback reads endless silence; recording writes into nothing.
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/zero", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        EXPECT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    Client(Client&& other) noexcept
        : pid(std::exchange(other.pid, 0)) {}
    // The client under `unshare`, as this system sees it.
    pid_t child() const {
        auto children =
            fs::path("/proc") / std::to_string(pid) / "task" / std::to_string(pid) / "children";
        for (int i = 0; i < 400; ++i) {
            pid_t found = 0;
            std::ifstream(children) >> found;
            if (found > 0 &&
                fs::read_symlink(fs::path("/proc") / std::to_string(found) / "exe").filename() ==
                    "zoom")
                return found;
            ::usleep(5000);
        }
        return 0;
    }
    void kill() {
        if (pid > 0)
            ::kill(pid, SIGKILL);
    }
    ~Client() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

double since(Steady::time_point start) {
    return std::chrono::duration<double>(Steady::now() - start).count();
}

struct DetectionIntegration : ::testing::Test {
    TempDir dir;
    UserDefaults defaults{dir / "preferences.plist"};
    SettingsStores stores{defaults, dir / ".settings.plist"};
    fs::path fakeZoom = dir / "zoom";
    // The stand-in counts as the maker's app by its exact path.
    TrustList trustingFakeZoom() const {
        return {{.platform = Platform::zoom,
                 .packages = {},
                 .snaps = {},
                 .flatpaks = {},
                 .exactPaths = {fakeZoom.string()}}};
    }
    std::shared_ptr<PulseProcessList> list;
    EventLoop loop;

    void SetUp() override {
        bool required = [] {
            const char* value = std::getenv("TALLYVOX_REQUIRE_SOUND_SERVER");
            return value && std::string(value) == "1";
        }();
        const char* server = std::getenv("PULSE_SERVER");
        if (server && *server) {
            list = std::make_shared<PulseProcessList>();
            list->waitForList(0, 5);
        }
        if (!list || !list->isConnected()) {
            if (required)
                FAIL() << "no sound server answers (PULSE_SERVER=" << (server ? server : "unset")
                       << ")";
            GTEST_SKIP() << "no sound server; run through scripts/with-sound-server";
        }
        SettingsManager::registerDefaults(stores, "Ada");
        // A copy, not a link: /proc/PID/exe must name this file.
        fs::copy_file("/usr/bin/pacat", fakeZoom);
        fs::permissions(fakeZoom, fs::perms::owner_all);
    }

    // Runs the loop until `done` holds or `seconds` pass.
    void runUntil(const std::function<bool()>& done, double seconds) {
        auto start = Steady::now();
        auto check = loop.repeating(Executor::Duration(0.05), [&] {
            if (done() || since(start) > seconds)
                loop.quit();
        });
        loop.run();
        check.cancel();
    }
};

} // namespace

TEST_F(DetectionIntegration, TrustedCopyIsDetectedAndEndsAtOnceWhenKilled) {
    Log::Capture log;
    NativeMeetingDetection detection(loop, Clock::system(), list, std::make_shared<ProcFs>(),
                                     trustingFakeZoom(), SessionSettings::detectionChoices(stores));
    std::optional<DetectedMeeting> started, ended;
    Steady::time_point startedAt, endedAt;
    detection.onMeetingStarted = [&](const DetectedMeeting& m) {
        started = m;
        startedAt = Steady::now();
    };
    detection.onMeetingEnded = [&](const DetectedMeeting& m) {
        ended = m;
        endedAt = Steady::now();
    };
    loop.post([&] { detection.start(); });

    auto spawned = Steady::now();
    Client player(fakeZoom, "--playback");
    Client recorder(fakeZoom, "--record");
    runUntil([&] { return started.has_value(); }, 15);

    ASSERT_TRUE(started) << "not detected";
    double delay = std::chrono::duration<double>(startedAt - spawned).count();
    EXPECT_GE(delay, 1.5);
    EXPECT_LT(delay, 6.0);
    EXPECT_EQ(started->platform, Platform::zoom);
    EXPECT_EQ(started->appName, "Zoom");
    EXPECT_EQ(started->pid, recorder.pid) << "the recording process holds the meeting";
    EXPECT_EQ(detection.meetings.get().size(), 1u);
    EXPECT_TRUE(log.contains("Meeting app sound from: zoom"));
    EXPECT_TRUE(log.contains("Mic in use by: zoom"));
    // The test server's microphone is a remapped monitor, not a device.
    EXPECT_FALSE(detection.inputDevice(*started));

    // The loop dropped the service's own one-second pass when the first wait returned (a loop
    // drops what is pending when it stops); the product's loop never stops, so the pass is
    // restored here rather than leaving the ending to the end-delay recheck alone.
    auto pass = loop.repeating(Executor::Duration(1.0), [&] { detection.evaluate(); });
    auto killedAt = Steady::now();
    player.kill();
    recorder.kill();
    runUntil([&] { return ended.has_value(); }, 12);
    pass.cancel();
    ASSERT_TRUE(ended) << "did not end";
    EXPECT_EQ(*ended, *started);
    EXPECT_LT(std::chrono::duration<double>(endedAt - killedAt).count(), 3.0)
        << "a killed app ends its meeting without the end delay";
    EXPECT_TRUE(detection.meetings.get().empty());
}

// Any recorder can say it is the meeting app's process. A trusted app that only plays, and a
// plain pacat recording under its pid: the named process holds one connection to the server
// for the two clients that claim it, so neither is taken for it and no meeting starts.
TEST_F(DetectionIntegration, ARecorderClaimingATrustedAppsPidStartsNoMeeting) {
    Log::Capture log;
    NativeMeetingDetection detection(loop, Clock::system(), list, std::make_shared<ProcFs>(),
                                     trustingFakeZoom(), SessionSettings::detectionChoices(stores));
    bool started = false;
    detection.onMeetingStarted = [&](const DetectedMeeting&) { started = true; };
    loop.post([&] { detection.start(); });

    Client player(fakeZoom, "--playback");
    const std::string claim = "PULSE_PROP=application.process.id=" + std::to_string(player.pid) +
                              " application.process.binary=zoom";
    Client impostor(std::vector<std::string>{"/usr/bin/env", claim, "/usr/bin/pacat", "--record"});
    // Said once, with the counts of the moment: the impostor may be listed before the player.
    const std::string refusal = "Process " + std::to_string(player.pid) + " is named by ";
    auto refused = [&] {
        for (const auto& text : log.texts())
            if (text.starts_with(refusal))
                return true;
        return false;
    };
    runUntil([&] { return started || refused(); }, 8);
    runUntil([&] { return started; }, 4);
    EXPECT_FALSE(started);
    EXPECT_TRUE(refused()) << "the claim was never checked";

    // Once the impostor is gone the app's own stream is its own again.
    impostor.kill();
    Client recorder(fakeZoom, "--record");
    runUntil([&] { return started; }, 15);
    EXPECT_TRUE(started);
}

TEST_F(DetectionIntegration, CopyIsIgnoredWithTheMakersTrustList) {
    Log::Capture log;
    NativeMeetingDetection detection(loop, Clock::system(), list, std::make_shared<ProcFs>(),
                                     AppGenuineness::vendors(),
                                     SessionSettings::detectionChoices(stores));
    bool started = false;
    detection.onMeetingStarted = [&](const DetectedMeeting&) { started = true; };
    loop.post([&] { detection.start(); });

    Client player(fakeZoom, "--playback");
    Client recorder(fakeZoom, "--record");
    auto ignored = [&] {
        for (const auto& text : log.texts())
            if (text.starts_with("Ignored zoom (pid ") &&
                text.ends_with("): not signed by the meeting app's maker"))
                return true;
        return false;
    };
    runUntil([&] { return started; }, 4);
    EXPECT_FALSE(started);
    EXPECT_TRUE(ignored());
    EXPECT_TRUE(log.contains("Mic in use by: zoom"));
}

TEST_F(DetectionIntegration, AppInAPidNamespaceOfItsOwnIsFoundAsItsProcessHere) {
    NativeMeetingDetection detection(loop, Clock::system(), list, std::make_shared<ProcFs>(),
                                     trustingFakeZoom(), SessionSettings::detectionChoices(stores));
    std::optional<DetectedMeeting> started;
    detection.onMeetingStarted = [&](const DetectedMeeting& m) { started = m; };
    loop.post([&] { detection.start(); });

    auto call = Client::sandboxedCall(fakeZoom);
    pid_t recorderHere = call.child();
    ASSERT_GT(recorderHere, 0);
    runUntil([&] { return started.has_value(); }, 15);

    ASSERT_TRUE(started) << "not detected: the clients say they are pids 1 and 2";
    EXPECT_EQ(started->pid, recorderHere);
    for (const auto& stream : list->streams())
        EXPECT_TRUE(stream.binary != "zoom" || stream.pid > 2) << "a pid of the sandbox";
}

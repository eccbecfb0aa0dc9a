#include "audio/linux/PulseClient.h"
#include "audio/linux/PulseMicInput.h"
#include "audio/linux/PulseOutputTap.h"
#include "fakes/TempDir.h"

#include <gtest/gtest.h>
#include <pulse/def.h>

#include <atomic>
#include <chrono>
#include <future>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace tallyvox {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

// A socket that takes connections and never answers them: a hung sound server.
class SilentServer {
public:
    explicit SilentServer(const std::filesystem::path& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.string().copy(address.sun_path, sizeof address.sun_path - 1);
        fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(fd_, 16), 0);
    }
    ~SilentServer() { ::close(fd_); }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

private:
    int fd_ = -1;
};

std::string timedOut(const std::string& wording) {
    return wording + " (connect to sound server, error " + std::to_string(PA_ERR_TIMEOUT) + ").";
}

// Each waiting step gives up after the time-out with an Error worded for the user; the
// meeting audio and the microphone, sharing one client, each report theirs.
TEST(PulseConnection, HungServerFailsEachStepWithTheUsersText) {
    TempDir dir;
    SilentServer server(dir / "native");
    ScopedEnv address("PULSE_SERVER", "unix:" + (dir / "native").string());

    PulseConnection connection("Tallyvox test", 0.3);
    try {
        connection.connect();
        ADD_FAILURE() << "connected to a server that never answers";
    } catch (const Error& error) {
        auto* failure = dynamic_cast<const PulseConnection::Failure*>(&error);
        ASSERT_NE(failure, nullptr);
        EXPECT_EQ(failure->step(), "connect to sound server");
        EXPECT_EQ(failure->code(), PA_ERR_TIMEOUT);
        EXPECT_EQ(error.what(), timedOut("Audio capture failed"));
    }

    auto client = std::make_shared<PulseClient>("Tallyvox test", 0.3);
    PulseOutputTap tap(client);
    PulseMicInput mic(client);
    std::promise<std::string> tapFailed, micFailed;
    OutputTap::Handlers tapHandlers;
    tapHandlers.failed = [&](const std::string& error) { tapFailed.set_value(error); };
    MicInput::Handlers micHandlers;
    micHandlers.failed = [&](const std::string& error) { micFailed.set_value(error); };
    tap.open(std::nullopt, tapHandlers);
    mic.open(std::nullopt, micHandlers);
    auto tapAnswer = tapFailed.get_future();
    auto micAnswer = micFailed.get_future();
    ASSERT_EQ(tapAnswer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_EQ(micAnswer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(tapAnswer.get(), timedOut("Audio capture failed"));
    EXPECT_EQ(micAnswer.get(), timedOut("The sound server refused the input"));
}

// Times the calling thread gave up the processor (slept, waited) so far.
long sleepsOfThisThread() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

// A blocking step sleeps until the server moves or its time is up: waking every 2 ms to look
// kept a core busy for as long as a hung server was waited for.
TEST(PulseConnection, AWaitSleepsUntilTheServerMovesOrItsTimeIsUp) {
    TempDir dir;
    SilentServer server(dir / "native");
    ScopedEnv address("PULSE_SERVER", "unix:" + (dir / "native").string());
    PulseConnection connection("Tallyvox test", 0.5);

    long before = sleepsOfThisThread();
    auto started = std::chrono::steady_clock::now();
    try {
        connection.connect();
        ADD_FAILURE() << "connected to a server that never answers";
    } catch (const PulseConnection::Failure& failure) {
        EXPECT_EQ(failure.code(), PA_ERR_TIMEOUT);
    }
    auto waited = std::chrono::steady_clock::now() - started;
    long sleeps = sleepsOfThisThread() - before;
    EXPECT_GE(waited, std::chrono::milliseconds(400)) << "the time-out is kept";
    EXPECT_LT(sleeps, 25) << "woke " << sleeps << " times to look";
}

// A watch hears every failed attempt (the first at once, then one a second), and nothing
// once it is closed, though the connection goes on trying.
TEST(PulseConnection, WatchHearsEachFailedAttemptUntilItIsClosed) {
    TempDir dir;
    ScopedEnv address("PULSE_SERVER", "unix:" + (dir / "nobody-here").string());
    PulseConnection connection("Tallyvox test");
    std::atomic<int> failures{0};
    PulseConnection::Watcher watcher;
    watcher.connected = [](PulseConnection::Watching&) { ADD_FAILURE() << "connected"; };
    watcher.disconnected = [&] { ++failures; };
    auto watch = connection.watch(watcher);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (failures < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(failures, 2);
    watch.close();
    const int atClose = failures;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(failures, atClose);
}

} // namespace
} // namespace tallyvox

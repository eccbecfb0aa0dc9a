// Mute following against a real accessibility bus: a private session bus whose AT-SPI2 bus
// launcher and registry are started on demand, a virtual X display, and a small Qt client
// whose mute button is clicked from here.
#include "app/linux/AccessibilityBus.h"
#include "audio/AccessibilityMuteWatcher.h"
#include "audio/linux/AtspiTree.h"
#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace tallyvox;
using namespace tallyvox::linux_services;
using tallyvox::testing::ScopedEnv;
using tallyvox::testing::TempDir;

namespace {

// A child process with its standard input and output on pipes, ended with the test.
class Child {
public:
    Child(std::vector<std::string> args, const std::map<std::string, std::string>& env) {
        int in[2];
        int out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0)
            return;
        std::vector<std::string> entries;
        for (char** e = environ; *e; ++e) {
            std::string entry(*e);
            if (!env.contains(entry.substr(0, entry.find('='))))
                entries.push_back(entry);
        }
        for (const auto& [name, value] : env)
            entries.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (auto& entry : entries)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);

        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::close(in[0]);
            ::close(in[1]);
            ::close(out[0]);
            ::close(out[1]);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = out[0];
    }
    ~Child() {
        if (input_ >= 0)
            ::close(input_);
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (output_ >= 0)
            ::close(output_);
    }

    int pid() const { return pid_; }
    void write(const std::string& text) const {
        [[maybe_unused]] auto n = ::write(input_, text.data(), text.size());
    }
    // The next line of output, nothing when none came in time.
    std::optional<std::string> line(std::chrono::milliseconds timeout) {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (true) {
            if (auto pos = buffer_.find('\n'); pos != std::string::npos) {
                auto text = buffer_.substr(0, pos);
                buffer_.erase(0, pos + 1);
                return text;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd p{.fd = output_, .events = POLLIN, .revents = 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char chunk[256];
            auto n = ::read(output_, chunk, sizeof chunk);
            if (n <= 0)
                return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    int pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffer_;
};

bool executable(const char* path) {
    return ::access(path, X_OK) == 0;
}

// What the watcher reported, waited for from the test's thread.
struct Reports {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::optional<bool>> seen;

    void add(std::optional<bool> state) {
        std::lock_guard hold(lock);
        seen.push_back(state);
        changed.notify_all();
    }
    // Waits until the last report is `state`.
    bool waitFor(std::optional<bool> state, std::chrono::seconds timeout) {
        std::unique_lock hold(lock);
        return changed.wait_for(hold, timeout,
                                [&] { return !seen.empty() && seen.back() == state; });
    }
};

} // namespace

TEST(MuteFollowing, FollowsAQtClientsMuteButtonOverTheAccessibilityBus) {
    for (const char* tool :
         {"/usr/bin/Xvfb", "/usr/bin/dbus-daemon", "/usr/libexec/at-spi-bus-launcher",
          "/usr/libexec/at-spi2-registryd"}) {
        if (!executable(tool))
            GTEST_SKIP() << tool << " is not installed";
    }
    TempDir home;
    // The bus launcher keeps its switch in the desktop settings: in memory here, not the
    // user's.
    std::map<std::string, std::string> env = {{"GSETTINGS_BACKEND", "memory"},
                                              {"HOME", home.path().string()},
                                              {"XDG_CONFIG_HOME", home.path().string()},
                                              {"XDG_RUNTIME_DIR", home.path().string()}};
    Child display(
        {"/usr/bin/Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"},
        env);
    auto number = display.line(std::chrono::seconds(20));
    ASSERT_TRUE(number) << "Xvfb did not start";
    env["DISPLAY"] = ":" + *number;

    Child bus({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"}, env);
    auto address = bus.line(std::chrono::seconds(20));
    ASSERT_TRUE(address) << "dbus-daemon did not start";
    env["DBUS_SESSION_BUS_ADDRESS"] = *address;
    ScopedEnv sessionBus("DBUS_SESSION_BUS_ADDRESS", *address);
    ScopedEnv runtime("XDG_RUNTIME_DIR", home.path().string());
    ScopedEnv display_("DISPLAY", env["DISPLAY"]);

    // Off until switched on; asking does not start the launcher.
    EXPECT_FALSE(AccessibilityBus::isEnabled());
    ASSERT_TRUE(AccessibilityBus::enable());
    EXPECT_TRUE(AccessibilityBus::isEnabled());

    env["QT_QPA_PLATFORM"] = "xcb";
    env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1";
    Child client({TALLYVOX_MUTE_BUTTON_APP}, env);
    ASSERT_EQ(client.line(std::chrono::seconds(20)), std::optional<std::string>("ready"));

    Reports reports;
    AccessibilityMuteWatcher watcher([] { return std::make_unique<AtspiTree>(); }, client.pid(),
                                     std::nullopt, {},
                                     [&](std::optional<bool> state) { reports.add(state); });
    watcher.start();
    // "Mute" offers to mute: the microphone is on. The client may join the bus late, and
    // after five seconds without it the walk runs every tenth second.
    ASSERT_TRUE(reports.waitFor(false, std::chrono::seconds(30)));

    client.write("toggle\n");
    ASSERT_EQ(client.line(std::chrono::seconds(5)), std::optional<std::string>("Unmute"));
    EXPECT_TRUE(reports.waitFor(true, std::chrono::seconds(5)));

    client.write("toggle\n");
    ASSERT_EQ(client.line(std::chrono::seconds(5)), std::optional<std::string>("Mute"));
    EXPECT_TRUE(reports.waitFor(false, std::chrono::seconds(5)));
    watcher.stop();

    std::lock_guard hold(reports.lock);
    EXPECT_EQ(reports.seen, (std::vector<std::optional<bool>>{false, true, false}));
}

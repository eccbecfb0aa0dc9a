#pragma once

// Real processes for the tests that run our executables and stand-in meeting apps.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace tallyvox::testing {

inline std::string readText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A child process with its standard streams on files; killed and reaped when it goes. With
// `ownGroup` it leads a process group of its own, and signals reach everything it started (a
// browser's helpers), even once it has gone itself.
class ChildProcess {
public:
    ChildProcess(std::vector<std::string> argv, const std::filesystem::path& in = "/dev/null",
                 const std::filesystem::path& out = "/dev/null",
                 const std::filesystem::path& err = "/dev/null", bool ownGroup = false)
        : group_(ownGroup) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        if (group_) {
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
            posix_spawnattr_setpgroup(&attributes, 0);
        }
        std::vector<char*> args;
        for (auto& arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        int error = ::posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(error, 0) << "could not start " << argv[0];
        if (error)
            pid_ = 0;
    }
    ~ChildProcess() { kill(SIGKILL); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int number) {
        if (pid_ > 0 && group_)
            ::kill(-pid_, number);
        else if (pid_ > 0 && !status_)
            ::kill(pid_, number);
    }
    // Signals it and waits for it to go.
    void kill(int number) {
        signal(number);
        if (pid_ > 0 && !status_)
            exitStatus(60);
    }
    // The exit code (or -signal), once it has exited within `seconds`.
    std::optional<int> exitStatus(double seconds) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!status_ && pid_ > 0) {
            int raw = 0;
            if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
                break;
            }
            if (std::chrono::steady_clock::now() > deadline)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return status_;
    }

private:
    bool group_ = false;
    pid_t pid_ = 0;
    std::optional<int> status_;
};

// Runs a command to its end (two minutes at most): its exit code.
inline int runToEnd(std::vector<std::string> argv) {
    ChildProcess child(std::move(argv));
    return child.exitStatus(120).value_or(-1000);
}

// A scratch home ready for a meeting through the real engine: the random-weight tiny model and
// the speech detector installed, speakers off, standing consent on, and `standIn` a copy of
// pacat (a copy, not a link: /proc/PID/exe must name this file) to play the meeting app.
inline void prepareMeetingHome(const std::filesystem::path& home,
                               const std::filesystem::path& standIn = {}) {
    namespace fs = std::filesystem;
    auto models = home / "data/Tallyvox/Models";
    fs::create_directories(models);
    fs::copy_file(TALLYVOX_TEST_MODEL, models / "ggml-tiny.bin");
    fs::copy_file(fs::path(TALLYVOX_SHARED_DIR) / "models/ggml-silero-v6.2.0.bin",
                  models / "ggml-silero-v6.2.0.bin");
    for (std::vector<std::string> args :
         {std::vector<std::string>{"settings", "set", "whisperModel", "tiny"},
          {"settings", "set", "diarize", "false"},
          {"consent", "standing", "on", "--yes"}}) {
        args.insert(args.begin(), TALLYVOX_CLI);
        ASSERT_EQ(runToEnd(args), 0) << args[1];
    }
    if (standIn.empty())
        return;
    fs::copy_file("/usr/bin/pacat", standIn);
    fs::permissions(standIn, fs::perms::owner_all);
}

} // namespace tallyvox::testing

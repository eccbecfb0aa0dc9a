#pragma once

// A helper process talked to over its standard streams: servers that print their address,
// stand-in apps that print "ready".

#include <chrono>
#include <csignal>
#include <map>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tallyvox::testing {

// A child process with its standard input and output on pipes, ended with the test.
class PipedChild {
public:
    PipedChild(std::vector<std::string> args, const std::map<std::string, std::string>& env) {
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
    PipedChild(const PipedChild&) = delete;
    PipedChild& operator=(const PipedChild&) = delete;
    ~PipedChild() {
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

} // namespace tallyvox::testing

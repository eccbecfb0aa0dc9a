#pragma once

#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tallyvox::Log {

// The one logger of the application (journald, plus stderr for the command line).
spdlog::logger& logger();

// Adds a plain stderr sink; the command line calls this once at start.
void enableStderr();
void setDebug(bool on);

template <class... Args> void error(spdlog::format_string_t<Args...> f, Args&&... args) {
    logger().error(f, std::forward<Args>(args)...);
}
template <class... Args> void info(spdlog::format_string_t<Args...> f, Args&&... args) {
    logger().info(f, std::forward<Args>(args)...);
}
template <class... Args> void debug(spdlog::format_string_t<Args...> f, Args&&... args) {
    logger().debug(f, std::forward<Args>(args)...);
}

// Collects the log lines written while it lives; tests read what the app said.
class Capture {
public:
    struct Line {
        spdlog::level::level_enum level;
        std::string text;
    };

    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::vector<Line> lines() const;
    std::vector<std::string> texts() const;
    bool contains(const std::string& text) const;
    void clear();

private:
    struct Sink;
    std::shared_ptr<Sink> sink_;
};

} // namespace tallyvox::Log

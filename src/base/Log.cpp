#include "base/Log.h"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace tallyvox::Log {

namespace {

// Speaks journald's native datagram protocol directly, so the core needs no libsystemd.
// Without a journal (containers, CI) messages are silently not sent there.
class JournalSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    JournalSink() {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        std::memset(&address_, 0, sizeof address_);
        address_.sun_family = AF_UNIX;
        std::strncpy(address_.sun_path, "/run/systemd/journal/socket",
                     sizeof address_.sun_path - 1);
        if (fd_ >= 0 && ::access(address_.sun_path, W_OK) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~JournalSink() override {
        if (fd_ >= 0)
            ::close(fd_);
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (fd_ < 0)
            return;
        std::string datagram;
        auto field = [&datagram](const char* key, std::string_view value) {
            datagram += key;
            datagram += '\n';
            std::uint64_t size = value.size();
            for (int i = 0; i < 8; ++i)
                datagram += static_cast<char>((size >> (8 * i)) & 0xff);
            datagram.append(value.data(), value.size());
            datagram += '\n';
        };
        field("MESSAGE", std::string_view(msg.payload.data(), msg.payload.size()));
        int priority = msg.level >= spdlog::level::err    ? 3
                       : msg.level >= spdlog::level::info ? 6
                                                          : 7;
        datagram += "PRIORITY=" + std::to_string(priority) + "\n";
        datagram += "SYSLOG_IDENTIFIER=tallyvox\n";
        datagram += "SUBSYSTEM=com.tallyvox.app\n";
        datagram += "CATEGORY=app\n";
        ::sendto(fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address_), sizeof address_);
    }
    void flush_() override {}

private:
    int fd_ = -1;
    sockaddr_un address_{};
};

struct State {
    std::shared_ptr<spdlog::sinks::dist_sink_mt> sinks =
        std::make_shared<spdlog::sinks::dist_sink_mt>();
    std::shared_ptr<spdlog::logger> logger;
    bool stderrEnabled = false;
    std::mutex mutex;

    State() {
        sinks->add_sink(std::make_shared<JournalSink>());
        logger = std::make_shared<spdlog::logger>("tallyvox", sinks);
        logger->set_level(spdlog::level::info);
        logger->flush_on(spdlog::level::info);
    }
};

State& state() {
    static State s;
    return s;
}

} // namespace

spdlog::logger& logger() {
    return *state().logger;
}

void enableStderr() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.stderrEnabled)
        return;
    auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    sink->set_pattern("%H:%M:%S %^%l%$: %v");
    s.sinks->add_sink(sink);
    s.stderrEnabled = true;
}

void setDebug(bool on) {
    logger().set_level(on ? spdlog::level::debug : spdlog::level::info);
}

struct Capture::Sink final : spdlog::sinks::base_sink<std::mutex> {
    std::vector<Line> lines;
    std::mutex linesMutex;

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        std::lock_guard lock(linesMutex);
        lines.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}
};

Capture::Capture()
    : sink_(std::make_shared<Sink>()) {
    state().logger->set_level(spdlog::level::debug);
    state().sinks->add_sink(sink_);
}

Capture::~Capture() {
    state().sinks->remove_sink(sink_);
    state().logger->set_level(spdlog::level::info);
}

std::vector<Capture::Line> Capture::lines() const {
    std::lock_guard lock(sink_->linesMutex);
    return sink_->lines;
}

std::vector<std::string> Capture::texts() const {
    std::vector<std::string> out;
    for (auto& line : lines())
        out.push_back(line.text);
    return out;
}

bool Capture::contains(const std::string& text) const {
    auto all = texts();
    return std::find(all.begin(), all.end(), text) != all.end();
}

void Capture::clear() {
    std::lock_guard lock(sink_->linesMutex);
    sink_->lines.clear();
}

} // namespace tallyvox::Log

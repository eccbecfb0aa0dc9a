#pragma once

#include "audio/OutputTap.h"
#include "audio/linux/HandlerGate.h"
#include "audio/linux/PulseClient.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

namespace tallyvox {

class AudioCaptureService;
class Executor;

// Records the monitor of an output: the one the meeting plays to, else the default sink.
// Since our process plays nothing, that is other applications' sound. The stream names its
// sink explicitly (a "default monitor" would not follow a change of default sink), so a
// change is reported and the caller reopens. Stereo is asked for whatever the sink has, so
// the server's own down-mix weighs surround channels (and leaves out the LFE).
class PulseOutputTap final : public OutputTap {
public:
    // Long enough not to make the server wake often; the engine works per second anyway.
    static constexpr double fragmentSeconds = 0.15;

    // `client`: the process's sound-server client; without one, a connection of its own.
    explicit PulseOutputTap(std::shared_ptr<PulseClient> client = nullptr);
    ~PulseOutputTap() override;
    void open(std::optional<std::uint32_t> output, Handlers handlers) override;
    void close() override;
    bool isPlaying() override;

private:
    // What the client's thread reports back.
    struct Shared {
        std::atomic<bool> playing{true};
        std::atomic<bool> asking{false};
        std::mutex mutex;
        std::optional<std::uint32_t> recorded;
        // Only touched on the client's thread.
        PulseConnection::Stream stream;
    };

    std::shared_ptr<PulseClient> client_;
    std::shared_ptr<HandlerGate> gate_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

// Whether the default output is the computer's own speakers (see OutputDeviceInfo). Answers
// at once from the last reading; every call starts a fresh one on the client's thread.
class PulseSpeakersCheck {
public:
    explicit PulseSpeakersCheck(std::shared_ptr<PulseClient> client = nullptr);
    bool operator()();

private:
    struct Shared {
        std::atomic<bool> speakers{true};
        std::atomic<bool> asking{false};
    };
    void refresh();

    std::shared_ptr<PulseClient> client_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

// The real service, run with `main` as its main thread, on `client` (without one, a
// connection of its own).
std::shared_ptr<AudioCaptureService>
makePulseCapture(Executor& main, std::shared_ptr<PulseClient> client = nullptr);

} // namespace tallyvox

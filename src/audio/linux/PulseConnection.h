#pragma once

#include "audio/OutputTap.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

namespace tallyvox {

// One client connection to the sound server (PulseAudio, or PipeWire through pipewire-pulse)
// with at most one record stream. Its calls wait for the server (each step up to the
// time-out), so they are made from one worker thread (see PulseClient), never the main thread;
// callbacks arrive on libpulse's own thread.
class PulseConnection {
public:
    // A sound-server step that failed, with the server's error number.
    struct Failure {
        std::string step;
        int code;
    };

    struct Defaults {
        std::string sink;
        std::string source;
    };

    struct SourceInfo {
        std::string name;
        std::string description;
        double sampleRate = 0;
        int channels = 0;
        bool isMonitor = false;
    };

    struct SinkInfo {
        std::uint32_t index = 0;
        std::string name;
        std::string monitor;
        double sampleRate = 0;
        int channels = 0;
        // Something plays to it (an idle or suspended sink's monitor may deliver nothing).
        bool running = false;
        OutputDeviceInfo device;
    };

    struct StreamHandlers {
        // The stream runs; called once, before any audio.
        std::function<void()> ready;
        std::function<void(std::vector<float>&& interleaved)> audio;
        std::function<void(const std::string& reason)> ended;
        // The server's default sink or source changed (names after the change).
        std::function<void(const Defaults&)> defaultsChanged;
    };

    explicit PulseConnection(std::string clientName, double timeoutSeconds = 3);
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // Connects, or reconnects after the server went away. Throws Failure.
    void connect();
    Defaults defaults();                                       // throws Failure
    SinkInfo sink(const std::string& name);                    // throws Failure
    std::optional<SinkInfo> sink(std::uint32_t index);         // nothing when absent; throws
    std::optional<SourceInfo> source(const std::string& name); // nothing when absent; throws

    // Replaces the open record stream; answers once it runs. Audio comes in fragments of
    // `fragmentSeconds`, and the source runs at that latency unless others ask for less. A
    // monitor's latency is its sink's: short fragments would make the playback it records
    // glitch-prone under load. Throws Failure.
    void record(const std::string& source, double sampleRate, int channels, double fragmentSeconds,
                StreamHandlers handlers);
    // No handler of the closed stream runs once this returns.
    void closeStream();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace tallyvox

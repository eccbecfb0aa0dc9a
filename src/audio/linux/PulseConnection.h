#pragma once

#include "audio/OutputTap.h"
#include "base/Error.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct pa_context;
struct pa_operation;

namespace tallyvox {

// The process's one client connection to the sound server (PulseAudio, or PipeWire through
// pipewire-pulse): one libpulse threaded main loop and one context, carrying any number of
// record streams (meeting audio, microphone) and watches (the stream list of detection).
// After the server goes away the connection is tried again every second, and at once when
// a blocking step needs it; nothing else reconnects.
//
// Threads and locking, the one rule for everything built on this connection:
// - libpulse's thread runs the main loop. Every callback (of the context, a stream, an
//   operation, a watch) runs with the loop's lock held, on that thread; only a libpulse call
//   that fails at once may run its callback within the call, on the calling thread, which
//   holds the lock then too.
// - Any libpulse call on the context, a stream or an operation made outside a callback
//   needs that lock. This class's methods, Stream and Watch take it themselves; nothing
//   else takes it.
// - A callback never waits: no blocking method of this class, no closing of a Stream or
//   Watch, no letting go of the connection, no lock that a thread waiting for the loop's lock
//   may hold. It reads what it was given, starts operations (kept through Watching, so a
//   closed watch cancels them) and hands work onward (post, queue, notify).
// - Every C callback runs its body inside callbackBarrier: no exception crosses libpulse.
// - The blocking methods (connect, defaults, sink, source, record) wait for the server, up
//   to the time-out each. They are made from one worker thread (see PulseClient), never the
//   main thread; watch() and the closing of a Stream or Watch only wait for the lock.
class PulseConnection {
    struct Impl;
    struct Open;
    struct Watched;

public:
    // A sound-server step that failed, with the server's error number. what() is the text the
    // user sees when meeting audio cannot be recorded.
    class Failure : public Error {
    public:
        Failure(std::string step, int code);
        const std::string& step() const { return step_; }
        int code() const { return code_; }

    private:
        std::string step_;
        int code_;
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

    // Called on libpulse's thread (ready: within record()), with the loop's lock held.
    struct StreamHandlers {
        // The stream runs; called once, before any audio.
        std::function<void()> ready;
        std::function<void(std::vector<float>&& interleaved)> audio;
        // The server ended the stream (its source went away, or the server itself).
        std::function<void(const std::string& reason)> ended;
        // The server's default sink or source changed (names after the change).
        std::function<void(const Defaults&)> defaultsChanged;
    };

    // An open record stream. Closing it (or letting it go) leaves the connection's other
    // streams and watches running, and none of its handlers runs once close() returns.
    class Stream {
    public:
        Stream();
        Stream(Stream&& other) noexcept;
        Stream& operator=(Stream&& other) noexcept;
        ~Stream();
        void close();
        bool isOpen() const { return open_ != nullptr; }

    private:
        friend class PulseConnection;
        Stream(std::shared_ptr<Impl> owner, std::unique_ptr<Open> open);
        std::shared_ptr<Impl> owner_;
        std::unique_ptr<Open> open_;
    };

    // What a watch's callbacks may use while the connection is up.
    class Watching {
    public:
        virtual pa_context* context() const = 0;
        // Keeps an operation the callback started until it finishes: closing the watch
        // cancels it, so its callback never runs after that. False when `operation` is null
        // (the request could not be sent).
        virtual bool keep(pa_operation* operation) = 0;

    protected:
        ~Watching() = default;
    };

    // Follows the connection rather than asking it: for a listener of the server's events.
    struct Watcher {
        // The server's events to hear, a pa_subscription_mask_t.
        std::uint32_t events = 0;
        // The connection is up: at once when it already is, and after every reconnection.
        std::function<void(Watching&)> connected;
        // An attempt to connect failed, or the connection was lost.
        std::function<void()> disconnected;
        // One of `events` happened (pa_subscription_event_type_t, and the object's index).
        std::function<void(Watching&, std::uint32_t event, std::uint32_t index)> changed;
    };

    class Watch {
    public:
        Watch();
        Watch(Watch&& other) noexcept;
        Watch& operator=(Watch&& other) noexcept;
        ~Watch();
        // None of the watcher's callbacks, nor those of operations it kept, runs once this
        // returns.
        void close();

    private:
        friend class PulseConnection;
        Watch(std::shared_ptr<Impl> owner, std::unique_ptr<Watched> watched);
        std::shared_ptr<Impl> owner_;
        std::unique_ptr<Watched> watched_;
    };

    // `clientName` is how the server lists the connection.
    explicit PulseConnection(std::string clientName, double timeoutSeconds = 3);
    // Streams and watches still open keep the main loop (not this object) alive until they
    // close.
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // Connects, or reconnects after the server went away. Throws Failure.
    void connect();
    Defaults defaults();                                       // throws Failure
    SinkInfo sink(const std::string& name);                    // throws Failure
    std::optional<SinkInfo> sink(std::uint32_t index);         // nothing when absent; throws
    std::optional<SourceInfo> source(const std::string& name); // nothing when absent; throws

    // Opens a record stream named `streamName` on `source`; answers once it runs. Audio comes
    // in fragments of `fragmentSeconds`, and the source runs at that latency unless others
    // ask for less. A monitor's latency is its sink's: short fragments would make the
    // playback it records glitch-prone under load. Throws Failure.
    Stream record(const std::string& source, const std::string& streamName, double sampleRate,
                  int channels, double fragmentSeconds, StreamHandlers handlers);

    // Starts following the connection (connecting when nobody has yet). Never waits for the
    // server.
    [[nodiscard]] Watch watch(Watcher watcher);

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace tallyvox

#pragma once

#include "audio/OutputTap.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

// A record stream on a microphone: a named sound-server source, or the default input. The
// stream is built on the input's own thread; handlers run there (or on the sound server's
// thread) and must return quickly.
class MicInput {
public:
    struct Opened {
        StreamFormat format;
        // The source's description; nothing when unreadable.
        std::optional<std::string> description;
    };

    struct Handlers {
        // The stream runs; called once, before any of its audio.
        std::function<void(const Opened&)> opened;
        // The stream could not be built: the user-facing description.
        std::function<void(const std::string& error)> failed;
        std::function<void(std::vector<float>&& interleaved, StreamFormat format)> audio;
        // The source went away, the server did, or the default input moved while recording it.
        std::function<void()> changed;
    };

    virtual ~MicInput() = default;

    // Nothing: the default input. Closes any open stream and starts building the new one;
    // never waits for the sound server. Exactly one of opened and failed follows.
    virtual void open(const std::optional<std::string>& source, Handlers handlers) = 0;
    // No handler of the closed stream runs once this returns.
    virtual void close() = 0;
};

} // namespace tallyvox

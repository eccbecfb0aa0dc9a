#pragma once

#include "audio/OutputTap.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

// A record stream on a microphone: a named sound-server source, or the default input.
// Handlers run on the input's own thread.
class MicInput {
public:
    struct Handlers {
        std::function<void(std::vector<float>&& interleaved, StreamFormat format)> audio;
        // The source went away, the server did, or the default input moved while recording it.
        std::function<void()> changed;
    };

    virtual ~MicInput() = default;

    // Nothing: the default input. Closes any open stream first. Throws Error.
    virtual StreamFormat open(const std::optional<std::string>& source, Handlers handlers) = 0;
    // No handler of the closed stream runs once this returns.
    virtual void close() = 0;
    // The source's description (the default input's when nothing); nothing when unreadable.
    virtual std::optional<std::string> describe(const std::optional<std::string>& source) = 0;
};

} // namespace tallyvox

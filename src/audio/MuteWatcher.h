#pragma once

#include <functional>
#include <optional>

namespace tallyvox {

// Follows the meeting app's own microphone mute button through the accessibility tree and
// reports each change: true muted, false unmuted, nothing when unknown.
class MuteWatcher {
public:
    // Called on the watcher's own queue.
    using OnChange = std::function<void(std::optional<bool>)>;

    virtual ~MuteWatcher() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
};

} // namespace tallyvox

#pragma once

#include "base/Clock.h"
#include "base/Error.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

// Records the user's own voice, from the input the meeting app uses when it can be found,
// else from the default input.
class MicCaptureService {
public:
    // A sound-server source name.
    using Device = std::string;

    // Seconds of microphone audio delivered, dropped by the buffer limit, and left out
    // while the user was muted.
    struct Counts {
        double received = 0;
        double dropped = 0;
        double ignored = 0;
        bool operator==(const Counts&) const = default;
    };

    virtual ~MicCaptureService() = default;

    // The meeting app's input device, asked at each start; may answer nothing.
    std::function<std::optional<Device>()> meetingDevice;
    // Called on the main thread when the stream that start() or resume() began building
    // cannot be built (the description behind "Microphone unavailable: "). Set before start().
    std::function<void(const Error&)> onFailure;

    // No device: the meeting's device (through meetingDevice), else the default input.
    // Begins building the stream; may throw Error when recording cannot begin at all.
    virtual void start(const std::optional<Device>& device) = 0;
    virtual void pause() = 0;
    virtual void resume() = 0; // like start()
    virtual void stop() = 0;
    // Every sample since the last call (nothing while held); called on the engine queue.
    virtual std::vector<float> drain() = 0;
    // Keeps audio back until the meeting's mute state is known.
    virtual void hold() = 0;
    // Muted: audio is counted as ignored and discarded (and so is anything held).
    virtual void setMuted(bool muted) = 0;
    // Notices a device that stopped delivering audio and rebuilds the stream.
    virtual void check(SystemTime now) = 0;
    virtual Counts counts() const = 0;
    virtual std::optional<std::string> deviceDescription() const = 0;
    virtual int restarts() const = 0;
};

} // namespace tallyvox

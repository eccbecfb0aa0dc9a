#pragma once

#include "base/Observable.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

// The sound server's view of who plays and who records: its sink inputs and source outputs.
class AudioProcessList {
public:
    // A source a recording stream reads from.
    struct Source {
        std::uint32_t index = 0;
        std::string name;
        std::string deviceAPI; // the "device.api" property: "alsa", "bluez5", ...
        bool hardware = false; // the server flags it as a hardware device
        bool monitor = false;  // the monitor of a sink
        bool operator==(const Source&) const = default;
    };

    struct Stream {
        enum class Direction { playing, recording };
        Direction direction = Direction::playing;
        std::uint32_t index = 0;           // sink-input or source-output index
        std::int32_t pid = 0;              // "application.process.id"; 0 when not given
        std::string binary;                // "application.process.binary"
        std::string appName;               // "application.name"; clients choose it freely
        bool corked = false;               // paused by its client: neither plays nor records
        std::optional<Source> source;      // recordings only, when the server names it
        std::optional<std::uint32_t> sink; // playing streams: the sink (output) they play to
        bool operator==(const Stream&) const = default;

        bool isPlaying() const { return direction == Direction::playing && !corked; }
        bool isRecording() const { return direction == Direction::recording && !corked; }
    };

    // Told, on any thread, after the list changed.
    using OnChange = std::function<void()>;

    virtual ~AudioProcessList() = default;

    // The current streams, in the server's order.
    virtual std::vector<Stream> streams() const = 0;
    [[nodiscard]] virtual Subscription observe(OnChange onChange) = 0;

    // A real input: not a monitor, and a hardware, ALSA or Bluetooth device.
    static bool isPhysical(const Source& source);
};

} // namespace tallyvox

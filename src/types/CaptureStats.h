#pragma once

#include "base/Clock.h"

#include <optional>
#include <string>

namespace tallyvox {

// Meeting-audio capture figures, shown in the menu and the diagnostics report.
struct CaptureStats {
    float level = 0; // min(4 x RMS, 1) of the latest callback
    std::optional<SystemTime> lastSoundAt;
    double droppedSeconds = 0;
    int overflowEvents = 0;
    double bufferedSeconds = 0; // filled in only when read
    double maxBufferedSeconds = 0;
    double receivedSeconds = 0;
    double levelSum = 0;
    int callbacks = 0;
    int buffersInCallback = 0;
    std::string format; // the stream as opened: "48000 Hz, 2 ch"

    double averageLevel() const { return callbacks <= 0 ? 0 : levelSum / callbacks; }
    bool operator==(const CaptureStats&) const = default;
};

} // namespace tallyvox

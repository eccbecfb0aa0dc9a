#pragma once

#include "base/Clock.h"
#include "types/ConsentRecord.h"
#include "types/DetectedMeeting.h"

#include <optional>

namespace tallyvox {

struct TranscriptionSession {
    DetectedMeeting meeting;
    ConsentRecord consent;
    SystemTime startedAt;
    std::optional<SystemTime> pausedAt;
    double pausedTotal = 0; // seconds of completed pauses

    // Pauses are not subtracted.
    double elapsed(SystemTime at) const { return secondsBetween(startedAt, at); }

    // The microphone counts as silent once 20 s of live session gave it under half a second.
    static bool micSilent(double received, double ignored, double live) {
        return received + ignored < 0.5 && live >= 20;
    }

    bool operator==(const TranscriptionSession&) const = default;
};

} // namespace tallyvox

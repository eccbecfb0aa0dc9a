#pragma once

#include "base/Uuid.h"

#include <optional>
#include <string>

namespace tallyvox {

// One transcript line; times are seconds on the session clock.
struct TranscriptSegment {
    static constexpr int you = 1000;  // every line of the microphone
    static constexpr int room = 1001; // microphone lines while the output is built-in speakers

    Uuid id = Uuid::random();
    double start = 0;
    double end = 0;
    std::string text;
    std::optional<int> speaker;
    std::optional<float> level; // loudness (RMS) of a microphone line

    bool isMic() const { return speaker == you || speaker == room; }
    bool operator==(const TranscriptSegment&) const = default;
};

} // namespace tallyvox

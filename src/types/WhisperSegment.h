#pragma once

#include <string>
#include <vector>

namespace tallyvox {

struct WhisperWord {
    double start = 0;
    double end = 0;
    std::string text; // as the recogniser spells it, normally with a leading space
    bool operator==(const WhisperWord&) const = default;
};

// One recognised stretch; times are seconds from the start of the audio recognised.
struct WhisperSegment {
    double start = 0;
    double end = 0;
    std::string text; // trimmed, never empty
    std::vector<WhisperWord> words;

    WhisperSegment shifted(double by) const {
        WhisperSegment copy = *this;
        copy.start += by;
        copy.end += by;
        for (auto& word : copy.words) {
            word.start += by;
            word.end += by;
        }
        return copy;
    }
    bool operator==(const WhisperSegment&) const = default;
};

// Voice-activity ranges in window seconds, in time order.
struct SpeechRange {
    double start = 0;
    double end = 0;
    bool operator==(const SpeechRange&) const = default;
};

} // namespace tallyvox

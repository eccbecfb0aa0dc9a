#pragma once

#include "types/TranscriptSegment.h"

#include <optional>
#include <string>
#include <vector>

namespace tallyvox::testing {

// A transcript line for tests, written the way tests read: times, words, who.
inline TranscriptSegment line(double start, double end, std::string text,
                              std::optional<int> speaker = std::nullopt,
                              std::optional<float> level = std::nullopt) {
    TranscriptSegment s;
    s.start = start;
    s.end = end;
    s.text = std::move(text);
    s.speaker = speaker;
    s.level = level;
    return s;
}

inline std::vector<std::string> texts(const std::vector<TranscriptSegment>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        out.push_back(l.text);
    return out;
}

} // namespace tallyvox::testing

#include "transcription/TurnJoining.h"

#include "transcription/CleanupFilters.h"

#include <algorithm>

namespace tallyvox {

bool leakAndVoice(std::optional<float> a, std::optional<float> b) {
    if (!a || !b)
        return false;
    float larger = std::max(*a, *b);
    float smaller = std::min(*a, *b);
    return larger > 0 && smaller < larger * CleanupFilters::leakRatio;
}

bool startsTurn(const TranscriptSegment& segment, const TranscriptSegment* previous) {
    if (!previous || segment.speaker != previous->speaker)
        return true;
    return segment.start - previous->end > 60;
}

std::vector<TranscriptSegment> joinTurns(const std::vector<TranscriptSegment>& lines) {
    std::vector<TranscriptSegment> out;
    for (const auto& line : lines) {
        if (!out.empty()) {
            auto& last = out.back();
            if (last.speaker && line.speaker && *last.speaker == *line.speaker &&
                line.start - last.end < 1.0 && !leakAndVoice(last.level, line.level)) {
                TranscriptSegment merged;
                merged.start = last.start;
                merged.end = line.end;
                merged.text = last.text + " " + line.text;
                merged.speaker = last.speaker;
                if (last.level && line.level)
                    merged.level = std::max(*last.level, *line.level);
                else
                    merged.level = last.level ? last.level : line.level;
                last = std::move(merged);
                continue;
            }
        }
        out.push_back(line);
    }
    return out;
}

} // namespace tallyvox

#include "transcription/CleanupFilters.h"

#include "transcription/Dedup.h"

#include <algorithm>
#include <cmath>

namespace tallyvox::CleanupFilters {

std::vector<TranscriptSegment> withoutEchoes(const std::vector<TranscriptSegment>& segments) {
    std::vector<TranscriptSegment> meeting;
    for (const auto& s : segments)
        if (!s.isMic())
            meeting.push_back(s);
    std::vector<TranscriptSegment> kept;
    for (const auto& s : segments)
        if (!s.isMic() || !Dedup::echoes(s.text, s.start, s.end, meeting))
            kept.push_back(s);
    return kept;
}

std::vector<TranscriptSegment> withoutLeakage(const std::vector<TranscriptSegment>& segments) {
    // Only lines long enough to be the user really speaking set the reference level.
    // A level that is not a finite number is no measurement: it neither sets the reference
    // nor marks its line as leakage (and would break the sort's ordering).
    auto measured = [](const TranscriptSegment& s) { return s.level && std::isfinite(*s.level); };
    std::vector<float> levels;
    for (const auto& s : segments)
        if (s.isMic() && measured(s) && Dedup::words(s.text).size() >= 8)
            levels.push_back(*s.level);
    if (levels.empty())
        return segments;
    std::sort(levels.begin(), levels.end());
    float reference = levels[(levels.size() - 1) * 3 / 4];

    std::vector<TranscriptSegment> kept;
    for (const auto& s : segments)
        if (!s.isMic() || !measured(s) || *s.level >= reference * leakRatio)
            kept.push_back(s);
    return kept;
}

} // namespace tallyvox::CleanupFilters

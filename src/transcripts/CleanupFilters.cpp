#include "transcripts/CleanupFilters.h"

#include "transcription/Dedup.h"

#include <algorithm>

namespace tallyvox::TranscriptManager {

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
    std::vector<float> levels;
    for (const auto& s : segments)
        if (s.isMic() && s.level && Dedup::words(s.text).size() >= 8)
            levels.push_back(*s.level);
    if (levels.empty())
        return segments;
    std::sort(levels.begin(), levels.end());
    float reference = levels[(levels.size() - 1) * 3 / 4];

    std::vector<TranscriptSegment> kept;
    for (const auto& s : segments)
        if (!s.isMic() || !s.level || *s.level >= reference * leakRatio)
            kept.push_back(s);
    return kept;
}

} // namespace tallyvox::TranscriptManager

#include "transcription/LineCleanup.h"

#include "base/TextLines.h"
#include "transcription/Dedup.h"
#include "transcription/WhisperPhantom.h"

namespace tallyvox::LineCleanup {

namespace {

// Starting this little after the last line ends still counts as overlapping it, for
// trimming a single repeated word.
constexpr double overlapTolerance = 0.2;

std::optional<Drop> dropOf(const std::string& text, double start, double end, const Window& window,
                           const std::vector<TranscriptSegment>& recent) {
    if (text.empty())
        return Drop::empty;
    if (WhisperPhantom::isPhantom(text))
        return Drop::phantom;
    if (window.dropEcho && window.dropEcho() && Dedup::echoes(text, start, end, recent))
        return Drop::echo;
    return std::nullopt;
}

void count(Drop drop, EngineStats& stats) {
    switch (drop) {
    case Drop::empty:
        break;
    case Drop::phantom:
        ++stats.phantomDropped;
        break;
    case Drop::echo:
        ++stats.echoDropped;
        break;
    }
}

} // namespace

std::vector<TranscriptSegment> clean(std::vector<Candidate> candidates, const Window& window,
                                     const std::vector<TranscriptSegment>& recent,
                                     std::optional<TranscriptSegment>& last, EngineStats& stats) {
    std::vector<TranscriptSegment> kept;
    for (auto& candidate : candidates) {
        double start = window.start + candidate.segment.start;
        double end = window.start + std::min(candidate.segment.end, window.duration);
        std::string text = std::move(candidate.segment.text);
        if (last && Dedup::mayRepeat(start, candidate.speaker, *last)) {
            size_t before = Dedup::words(text).size();
            text = Dedup::trimOverlap(last->text, text, start < last->end + overlapTolerance);
            stats.wordsTrimmedAsRepeats += static_cast<int>(before - Dedup::words(text).size());
        }
        // A line break inside a line would end a subtitle cue early or fake a speaker's line
        // in the transcript file.
        text = std::string(TextLines::trimmed(TextLines::oneLine(text)));
        if (auto drop = dropOf(text, start, end, window, recent)) {
            count(*drop, stats);
            continue;
        }
        TranscriptSegment line;
        line.start = start;
        line.end = end;
        line.text = std::move(text);
        line.speaker =
            candidate.speaker ? candidate.speaker : (last ? last->speaker : std::nullopt);
        line.level = candidate.level;
        kept.push_back(line);
        last = std::move(line);
    }
    return kept;
}

} // namespace tallyvox::LineCleanup

#include "transcription/ChunkCommitter.h"

#include <algorithm>
#include <cmath>

namespace tallyvox::ChunkCommitter {

namespace {
double tentativeCut(const std::optional<std::vector<SpeechRange>>& speech, double d) {
    if (!speech)
        return d - edgeMargin;
    if (speech->empty())
        return std::max(d - keepTail, 0.0);
    const SpeechRange& last = speech->back();
    if (last.end >= d - overlap)
        return d - last.start > longSpeech ? d - edgeMargin : last.start;
    return std::max(d - keepTail, last.end);
}
} // namespace

Split split(const std::vector<WhisperSegment>& segments,
            const std::optional<std::vector<SpeechRange>>& speech, double d, bool final) {
    if (final)
        return {segments, d};

    double c = tentativeCut(speech, d);
    if (c < edgeMargin && d >= maxPending)
        c = d - edgeMargin;

    Split result;
    const WhisperSegment* firstLate = nullptr;
    for (const auto& segment : segments) {
        if (segment.end <= c + 0.1)
            result.commit.push_back(segment);
        else if (!firstLate)
            firstLate = &segment;
    }
    if (firstLate)
        c = std::min(c, firstLate->start);
    c -= overlap;

    double committedEnd = result.commit.empty() ? 0 : result.commit.back().end;
    double cut = c;
    if (!speech) {
        if (!result.commit.empty())
            cut = std::min(committedEnd, c);
    } else {
        auto next = std::find_if(speech->begin(), speech->end(), [&](const SpeechRange& r) {
            return r.end > committedEnd + keepTail;
        });
        if (next != speech->end()) {
            double floor = d >= maxPending ? d - reHear : 0;
            double x = std::max(std::max(committedEnd, next->start) - overlap, floor);
            cut = std::min(c, x);
        }
    }
    cut = std::max(std::min(cut, d), 0.0);

    if (d >= maxPending && cut <= 0)
        return {segments, d};
    result.cut = cut;
    return result;
}

std::vector<SpeechRange> holes(const std::vector<WhisperSegment>& segments,
                               const std::vector<SpeechRange>& speech) {
    std::vector<SpeechRange> found;
    if (segments.empty())
        return found;
    double lastEnd = 0;
    for (const auto& s : segments)
        lastEnd = std::max(lastEnd, s.end);
    auto sorted = segments;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto& a, const auto& b) { return a.start < b.start; });

    for (const auto& range : speech) {
        double b = range.start;
        double e = std::min(range.end, lastEnd);
        for (const auto& s : sorted) {
            if (b < s.end && s.start < e) {
                if (s.start - b >= hole)
                    found.push_back({b, s.start});
                b = std::max(b, s.end);
            }
        }
        if (e - b >= hole)
            found.push_back({b, e});
    }
    return found;
}

std::vector<SpeechRange> languagePieces(const std::vector<SpeechRange>& speech) {
    std::vector<SpeechRange> pieces;
    for (const auto& range : speech) {
        double length = range.end - range.start;
        int n = std::max(1, static_cast<int>(std::round(length / languagePiece)));
        double step = length / n;
        for (int k = 0; k < n; ++k)
            pieces.push_back({range.start + k * step, range.start + (k + 1) * step});
    }
    return pieces;
}

std::string language(const std::map<std::string, float>& probabilities, const std::string& current,
                     const std::vector<std::string>& among) {
    if (probabilities.empty())
        return current;
    auto best = std::max_element(probabilities.begin(), probabilities.end(),
                                 [](const auto& a, const auto& b) { return a.second < b.second; });
    if (best->first == current)
        return current;
    // Compared in double precision: probabilities exactly one margin apart (0.55 against
    // 0.45) then switch, as single-precision rounding would otherwise decide.
    double margin = (!among.empty() && best->first == among.front()) ? 0.1 : 0.3;
    auto held = probabilities.find(current);
    double q = held == probabilities.end() ? 0.0 : static_cast<double>(held->second);
    return q + margin < static_cast<double>(best->second) ? best->first : current;
}

} // namespace tallyvox::ChunkCommitter

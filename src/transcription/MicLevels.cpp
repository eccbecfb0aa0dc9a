#include "transcription/MicLevels.h"

#include "base/TextLines.h"
#include "transcription/CleanupFilters.h"
#include "transcription/OwnAudio.h"

#include <algorithm>
#include <cmath>

namespace tallyvox::MicLevels {

namespace {} // namespace

float level(SpeechRange stretch, std::span<const float> audio,
            const std::optional<std::vector<SpeechRange>>& speech) {
    auto samples = ownAudio(audio, stretch, speech);
    if (samples.empty())
        return 0;
    double sum = 0;
    for (float s : samples)
        sum += static_cast<double>(s) * s;
    return static_cast<float>(std::sqrt(sum / static_cast<double>(samples.size())));
}

float median(std::vector<float> levels) {
    // A level that is not a number says nothing and would break the sort's ordering.
    std::erase_if(levels, [](float level) { return !std::isfinite(level); });
    if (levels.empty())
        return 0;
    std::sort(levels.begin(), levels.end());
    return levels[levels.size() / 2];
}

std::vector<Run> levelRuns(const WhisperSegment& segment, const std::vector<float>& levels) {
    const auto& words = segment.words;
    float loudest = 0;
    for (float level : levels)
        if (std::isfinite(level))
            loudest = std::max(loudest, level);
    if (words.size() <= 1 || levels.size() != words.size() || !(loudest > 0))
        return {{segment, median(levels)}};

    std::vector<bool> voiced(words.size());
    for (size_t i = 0; i < words.size(); ++i)
        voiced[i] = levels[i] >= loudest * CleanupFilters::leakRatio;

    // A word or two that differs from long runs on both sides is a measuring blip, not a
    // change of voice. Only short runs change and they copy only long ones, so one pass
    // over the original runs is enough.
    struct Group {
        size_t first, count;
        bool voiced;
    };
    auto group = [&] {
        std::vector<Group> groups;
        for (size_t i = 0; i < words.size(); ++i) {
            if (!groups.empty() && groups.back().voiced == voiced[i])
                ++groups.back().count;
            else
                groups.push_back({i, 1, voiced[i]});
        }
        return groups;
    };
    auto runs = group();
    for (size_t r = 0; r < runs.size(); ++r) {
        if (runs[r].count > 2)
            continue;
        const Group* neighbour = nullptr;
        if (r > 0)
            neighbour = &runs[r - 1];
        if (r + 1 < runs.size() && (!neighbour || runs[r + 1].count > neighbour->count))
            neighbour = &runs[r + 1];
        if (neighbour && neighbour->count > 2)
            for (size_t i = runs[r].first; i < runs[r].first + runs[r].count; ++i)
                voiced[i] = neighbour->voiced;
    }

    auto groups = group();
    std::vector<Run> out;
    for (size_t g = 0; g < groups.size(); ++g) {
        size_t first = groups[g].first, last = first + groups[g].count - 1;
        WhisperSegment piece;
        piece.start = g == 0 ? segment.start : words[first].start;
        piece.end = g + 1 == groups.size() ? segment.end : words[last].end;
        std::string text;
        for (size_t i = first; i <= last; ++i)
            text += words[i].text;
        piece.text = std::string(TextLines::trimmed(text));
        piece.words.assign(words.begin() + first, words.begin() + last + 1);
        out.push_back(
            {std::move(piece), median({levels.begin() + first, levels.begin() + last + 1})});
    }
    return out;
}

std::vector<Run> micRuns(const WhisperSegment& segment, std::span<const float> audio,
                         const std::optional<std::vector<SpeechRange>>& speech) {
    if (segment.words.empty())
        return {{segment, level({segment.start, segment.end}, audio, speech)}};
    std::vector<float> levels;
    levels.reserve(segment.words.size());
    for (const auto& word : segment.words)
        levels.push_back(level({word.start, word.end}, audio, speech));
    return levelRuns(segment, levels);
}

} // namespace tallyvox::MicLevels

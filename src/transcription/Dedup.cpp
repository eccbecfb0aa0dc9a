#include "transcription/Dedup.h"

#include "base/Unicode.h"

#include <algorithm>

namespace tallyvox::Dedup {

std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string_view::npos)
            end = text.size();
        if (end > start)
            out.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string norm(std::string_view word) {
    return Unicode::wordKey(word);
}

std::vector<std::string> significantWords(std::string_view text) {
    std::vector<std::string> out;
    for (const auto& word : words(text))
        if (auto n = norm(word); !n.empty())
            out.push_back(std::move(n));
    return out;
}

std::string trimOverlap(std::string_view previous, std::string_view next, bool timeOverlap) {
    auto prevWords = words(previous);
    auto nextWords = words(next);
    std::vector<std::string> p, n;
    for (auto& w : prevWords)
        p.push_back(norm(w));
    for (auto& w : nextWords)
        n.push_back(norm(w));

    size_t most = std::min<size_t>({8, p.size(), n.size()});
    size_t least = timeOverlap ? 1 : 2;
    for (size_t k = most; k >= least && k > 0; --k) {
        bool same = std::equal(p.end() - static_cast<std::ptrdiff_t>(k), p.end(), n.begin());
        bool meaningful = std::any_of(n.begin(), n.begin() + static_cast<std::ptrdiff_t>(k),
                                      [](const std::string& w) { return !w.empty(); });
        if (same && meaningful) {
            std::string rest;
            for (size_t i = k; i < nextWords.size(); ++i) {
                if (!rest.empty())
                    rest += ' ';
                rest += nextWords[i];
            }
            return rest;
        }
    }
    return std::string(next);
}

bool mayRepeat(double start, std::optional<int> speaker, const TranscriptSegment& after) {
    return start - after.end < 2 && (!speaker || !after.speaker || *speaker == *after.speaker);
}

bool isEcho(std::string_view text, std::string_view other) {
    auto a = significantWords(text);
    if (a.size() < 5)
        return false;
    auto b = significantWords(other);
    // Two rolling rows of the usual dynamic programmes: subsequence and consecutive run.
    std::vector<size_t> subPrev(b.size() + 1, 0), subCur(b.size() + 1, 0);
    std::vector<size_t> runPrev(b.size() + 1, 0), runCur(b.size() + 1, 0);
    size_t longestRun = 0;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            if (a[i - 1] == b[j - 1]) {
                subCur[j] = subPrev[j - 1] + 1;
                runCur[j] = runPrev[j - 1] + 1;
                longestRun = std::max(longestRun, runCur[j]);
            } else {
                subCur[j] = std::max(subPrev[j], subCur[j - 1]);
                runCur[j] = 0;
            }
        }
        std::swap(subPrev, subCur);
        std::swap(runPrev, runCur);
    }
    size_t common = subPrev[b.size()];
    return longestRun > 3 && static_cast<double>(common) / static_cast<double>(a.size()) >= 0.75;
}

bool echoes(std::string_view text, double from, double to,
            const std::vector<TranscriptSegment>& lines) {
    std::vector<const TranscriptSegment*> near;
    for (const auto& line : lines)
        if (!line.isMic() && line.end > from - 3 && line.start < to + 3)
            near.push_back(&line);
    if (near.empty())
        return false;
    std::stable_sort(near.begin(), near.end(),
                     [](auto* a, auto* b) { return a->start < b->start; });
    std::string joined;
    for (auto* line : near) {
        if (!joined.empty())
            joined += ' ';
        joined += line->text;
    }
    return isEcho(text, joined);
}

bool repeats(std::string_view text, std::string_view context) {
    auto a = significantWords(text);
    auto b = significantWords(context);
    if (a.empty() || b.empty())
        return false;
    if (a.size() >= 5)
        return isEcho(text, context);
    size_t matched = 0;
    for (const auto& word : b)
        if (matched < a.size() && word == a[matched])
            ++matched;
    return matched == a.size();
}

} // namespace tallyvox::Dedup

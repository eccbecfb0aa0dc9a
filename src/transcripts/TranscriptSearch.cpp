#include "transcripts/TranscriptSearch.h"

#include "base/Unicode.h"
#include "base/Utf8.h"

#include <algorithm>

namespace tallyvox::TranscriptSearch {

namespace {

using Folded = Unicode::FoldedText;

// A match must cover whole original characters: finding "s" inside the "ss" of "ß" is not
// a match of the text's own letters.
bool wholeCharacters(const Folded& f, std::size_t start, std::size_t length) {
    const std::size_t end = start + length;
    if (start > 0 && f.origin[start - 1] == f.origin[start])
        return false;
    return end >= f.chars.size() || f.origin[end - 1] != f.origin[end];
}

template <class OnMatch>
void forEachMatch(const Folded& f, const std::u32string& query, OnMatch onMatch) {
    if (query.empty())
        return;
    std::size_t at = 0;
    while ((at = f.chars.find(query, at)) != std::u32string::npos) {
        if (wholeCharacters(f, at, query.size())) {
            onMatch(at, query.size());
            at += query.size();
        } else {
            ++at;
        }
    }
}

} // namespace

std::string cleaned(std::string_view text) {
    // Line breaks beyond ASCII (U+0085, U+2028, U+2029) and no-break spaces count as well.
    auto isSpace = [](char32_t c) {
        return c == 0x85 || c == 0xA0 || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x3000 ||
               c == ' ' || (c >= 0x09 && c <= 0x0D);
    };
    auto pieces = Utf8::pieces(text);
    std::size_t first = 0, last = pieces.size();
    while (first < last && isSpace(pieces[first].value))
        ++first;
    while (last > first && isSpace(pieces[last - 1].value))
        --last;
    if (first == last)
        return {};
    const auto begin = pieces[first].offset;
    return std::string(
        text.substr(begin, pieces[last - 1].offset + pieces[last - 1].length - begin));
}

int hits(std::string_view text, std::string_view query) {
    int count = 0;
    forEachMatch(Unicode::foldedText(text), Unicode::foldedCharacters(query),
                 [&](std::size_t, std::size_t) { ++count; });
    return count;
}

bool matches(std::string_view text, std::string_view speaker, std::string_view query) {
    return query.empty() || hits(text, query) > 0 || hits(speaker, query) > 0;
}

std::vector<Range> highlights(std::string_view text, const std::vector<std::string>& terms) {
    const Folded f = Unicode::foldedText(text);
    std::vector<Range> ranges;
    for (const auto& term : terms)
        forEachMatch(f, Unicode::foldedCharacters(term),
                     [&](std::size_t start, std::size_t length) {
                         const auto& first = f.pieces[f.origin[start]];
                         const auto& last = f.pieces[f.origin[start + length - 1]];
                         ranges.push_back({first.offset, last.offset + last.length});
                     });
    std::sort(ranges.begin(), ranges.end(),
              [](const Range& a, const Range& b) { return a.begin < b.begin; });
    std::vector<Range> joined;
    for (const auto& r : ranges) {
        if (!joined.empty() && r.begin <= joined.back().end)
            joined.back().end = std::max(joined.back().end, r.end);
        else
            joined.push_back(r);
    }
    return joined;
}

} // namespace tallyvox::TranscriptSearch

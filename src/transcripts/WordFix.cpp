#include "transcripts/WordFix.h"

#include "base/Unicode.h"
#include "base/Utf8.h"

namespace tallyvox::WordFix {

namespace {

using CodePoint = Utf8::Piece;

// Malformed bytes are of no known kind: they never split a word.
bool isWordCharacter(char32_t c) {
    return c >= Utf8::malformedBase || Unicode::isWordCharacter(c);
}

// The case-folded characters of a text, each with the index of the character it came
// from, so a match found in the folded text maps back to whole original characters.
struct Folded {
    std::u32string chars;
    std::vector<size_t> origin;
};

Folded foldAll(const std::vector<CodePoint>& cps) {
    Folded out;
    for (size_t i = 0; i < cps.size(); ++i)
        for (char32_t c : Unicode::folded(cps[i].value)) {
            out.chars.push_back(c);
            out.origin.push_back(i);
        }
    return out;
}

} // namespace

Applied apply(std::string_view word, std::string_view fix, std::string_view text) {
    if (word.empty() || fix.empty())
        return {std::string(text), 0};
    const std::u32string pattern = foldAll(Utf8::pieces(word)).chars;
    const auto cps = Utf8::pieces(text);
    const Folded folded = foldAll(cps);
    const auto& chars = folded.chars;
    const auto& origin = folded.origin;

    Applied result;
    result.text.reserve(text.size());
    size_t i = 0; // original character
    size_t f = 0; // first folded character of cps[i]
    while (i < cps.size()) {
        // A match covers whole original characters: it starts where one starts and ends
        // where one ends ("ß" matches "ss", but half of it never does).
        size_t end = f + pattern.size();
        bool matches = !pattern.empty() && f < chars.size() && origin[f] == i &&
                       end <= chars.size() && chars.compare(f, pattern.size(), pattern) == 0 &&
                       (end == chars.size() || origin[end] != origin[end - 1]);
        if (!matches) {
            result.text.append(text.substr(cps[i].offset, cps[i].length));
            ++i;
            while (f < chars.size() && origin[f] < i)
                ++f;
            continue;
        }
        size_t last = origin[end - 1];
        bool insideWord = (i > 0 && isWordCharacter(cps[i - 1].value)) ||
                          (last + 1 < cps.size() && isWordCharacter(cps[last + 1].value));
        size_t from = cps[i].offset;
        size_t to = cps[last].offset + cps[last].length;
        if (insideWord) {
            result.text.append(text.substr(from, to - from));
        } else {
            result.text.append(fix);
            ++result.count;
        }
        i = last + 1;
        f = end;
    }
    return result;
}

std::string prompt(std::string_view vocabulary, const std::vector<std::string>& words) {
    if (words.empty())
        return std::string(vocabulary);
    std::string also = "Also: ";
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0)
            also += ", ";
        also += words[i];
    }
    also += ".";
    if (vocabulary.empty())
        return also;
    return std::string(vocabulary) + " " + also;
}

} // namespace tallyvox::WordFix

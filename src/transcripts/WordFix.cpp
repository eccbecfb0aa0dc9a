#include "transcripts/WordFix.h"

#include "base/Unicode.h"
#include "base/Utf8.h"
#include "transcripts/TranscriptFormat.h"

#include <cstdint>

namespace tallyvox::WordFix {

namespace {

// Counted fixes kept before one is dropped; single fixes are not ordered.
constexpr size_t maxCounts = 120;

struct CodePoint {
    char32_t value;
    size_t offset;
    size_t length;
};

// Malformed bytes become one code point each, in a range no valid character uses, so
// they only ever match themselves.
std::vector<CodePoint> decode(std::string_view text) {
    std::vector<CodePoint> out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        Utf8::Char c = Utf8::decode(text, i);
        if (!c.valid) {
            out.push_back(
                {static_cast<char32_t>(0x110000 + static_cast<unsigned char>(text[i])), i, 1});
            ++i;
            continue;
        }
        out.push_back({c.value, i, c.length});
        i += c.length;
    }
    return out;
}

// Malformed bytes are of no known kind: they never split a word.
bool isWordCharacter(char32_t c) {
    return c > 0x10FFFF || Unicode::isWordCharacter(c);
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

bool isSpace(char32_t c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

} // namespace

size_t characterCount(std::string_view text) {
    return decode(text).size();
}

std::string lowercased(std::string_view text) {
    return Unicode::folded(text);
}

std::string cleaned(std::string_view text) {
    std::string line = TranscriptFormat::oneLine(text);
    auto cps = decode(line);
    size_t first = 0;
    size_t last = cps.size();
    while (first < last && isSpace(cps[first].value))
        ++first;
    while (last > first && isSpace(cps[last - 1].value))
        --last;
    if (first == last)
        return {};
    size_t begin = cps[first].offset;
    size_t end = cps[last - 1].offset + cps[last - 1].length;
    return line.substr(begin, end - begin);
}

Applied apply(std::string_view word, std::string_view fix, std::string_view text) {
    if (word.empty() || fix.empty())
        return {std::string(text), 0};
    const std::u32string pattern = foldAll(decode(word)).chars;
    const auto cps = decode(text);
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

void Memory::record(std::string_view word) {
    size_t length = characterCount(word);
    if (length < 1 || length > static_cast<size_t>(maxLength))
        return;
    std::string key = lowercased(word);
    for (const auto& learned : words)
        if (lowercased(learned) == key)
            return;
    int& count = counts[key];
    count += 1;
    if (count >= needed) {
        counts.erase(key);
        words.emplace_back(word);
        if (words.size() > static_cast<size_t>(maxWords))
            words.erase(words.begin());
    }
    if (counts.size() > maxCounts)
        for (auto it = counts.begin(); it != counts.end(); ++it)
            if (it->first != key) {
                counts.erase(it);
                break;
            }
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

std::vector<std::string> checked(const std::optional<PlistValue>& value) {
    std::vector<std::string> words;
    if (!value || !value->arrayValue())
        return words;
    for (const auto& item : *value->arrayValue()) {
        auto text = item.stringValue();
        if (!text)
            continue;
        std::string word = cleaned(*text);
        size_t length = characterCount(word);
        if (length >= 1 && length <= static_cast<size_t>(maxLength))
            words.push_back(std::move(word));
    }
    return words;
}

} // namespace tallyvox::WordFix

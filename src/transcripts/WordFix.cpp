#include "transcripts/WordFix.h"

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

char32_t lower(char32_t c) {
    if (c >= 'A' && c <= 'Z')
        return c + 32;
    if (c < 0x80)
        return c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return c + 32;
    if (c >= 0x100 && c <= 0x137 && c % 2 == 0)
        return c + 1;
    if (c >= 0x139 && c <= 0x148 && c % 2 == 1)
        return c + 1;
    if (c >= 0x14A && c <= 0x177 && c % 2 == 0)
        return c + 1;
    if (c == 0x178)
        return 0xFF;
    if ((c == 0x179 || c == 0x17B || c == 0x17D))
        return c + 1;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2)
        return c + 32;
    if (c >= 0x410 && c <= 0x42F)
        return c + 32;
    if (c >= 0x400 && c <= 0x40F)
        return c + 80;
    return c;
}

// Punctuation, spaces and symbols outside ASCII; everything else beyond ASCII (accented
// letters, other scripts, combining marks) is treated as part of a word.
bool isNonWordBeyondAscii(char32_t c) {
    return (c >= 0x80 && c <= 0xBF) || c == 0xD7 || c == 0xF7 || (c >= 0x2000 && c <= 0x206F) ||
           (c >= 0x20A0 && c <= 0x20CF) || (c >= 0x2190 && c <= 0x2BFF) ||
           (c >= 0x3000 && c <= 0x3003) || (c >= 0x3008 && c <= 0x3011) || c == 0xFEFF ||
           (c >= 0xFF01 && c <= 0xFF0F) || c == 0x1680;
}

bool isWordCharacter(char32_t c) {
    if (c < 0x80)
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return !isNonWordBeyondAscii(c);
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
    std::string out;
    out.reserve(text.size());
    for (const auto& cp : decode(text)) {
        if (cp.value > 0x10FFFF)
            out.append(text.substr(cp.offset, cp.length));
        else
            Utf8::append(lower(cp.value), out);
    }
    return out;
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
    auto pattern = decode(word);
    for (auto& cp : pattern)
        cp.value = lower(cp.value);
    auto cps = decode(text);

    Applied result;
    result.text.reserve(text.size());
    size_t i = 0;
    while (i < cps.size()) {
        bool matches = i + pattern.size() <= cps.size();
        for (size_t k = 0; matches && k < pattern.size(); ++k)
            matches = lower(cps[i + k].value) == pattern[k].value;
        if (!matches) {
            result.text.append(text.substr(cps[i].offset, cps[i].length));
            ++i;
            continue;
        }
        size_t end = i + pattern.size();
        bool insideWord = (i > 0 && isWordCharacter(cps[i - 1].value)) ||
                          (end < cps.size() && isWordCharacter(cps[end].value));
        size_t from = cps[i].offset;
        size_t to = cps[end - 1].offset + cps[end - 1].length;
        if (insideWord) {
            result.text.append(text.substr(from, to - from));
        } else {
            result.text.append(fix);
            ++result.count;
        }
        i = end;
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

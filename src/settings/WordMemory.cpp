#include "settings/WordMemory.h"

#include "base/TextLines.h"
#include "base/Unicode.h"
#include "base/Utf8.h"

namespace tallyvox::WordFix {

namespace {

// Counted fixes kept before one is dropped; single fixes are not ordered.
constexpr size_t maxCounts = 120;

bool isSpace(char32_t c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

} // namespace

size_t characterCount(std::string_view text) {
    return Utf8::pieces(text).size();
}

std::string lowercased(std::string_view text) {
    return Unicode::folded(text);
}

std::string cleaned(std::string_view text) {
    std::string line = TextLines::oneLine(text);
    auto cps = Utf8::pieces(line);
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

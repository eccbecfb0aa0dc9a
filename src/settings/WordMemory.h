#pragma once

#include "settings/PlistValue.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The learned words live in the protected settings; applying a fix to transcript text is the
// transcripts' business (transcripts/WordFix.h).
namespace tallyvox::WordFix {

// Fixes to the same word before it is learned.
inline constexpr int needed = 2;
// Most learned words kept; the oldest goes first.
inline constexpr int maxWords = 30;
// Longest word, in characters, that is remembered.
inline constexpr int maxLength = 40;

// One line, trimmed of white space at both ends.
std::string cleaned(std::string_view text);

// The learning memory, as kept in the protected settings.
struct Memory {
    // Lower-cased corrected word -> fixes so far (below `needed`).
    std::map<std::string, int> counts;
    // Learned words in the order learned, spelled as typed the last time.
    std::vector<std::string> words;

    void record(std::string_view word);
    bool operator==(const Memory&) const = default;
};

// The learned words from an untyped stored value: cleaned texts of 1 to maxLength characters.
std::vector<std::string> checked(const std::optional<PlistValue>& value);

// Characters (code points) in UTF-8 text; a malformed byte counts as one.
size_t characterCount(std::string_view text);
// Full Unicode case folding without a locale, for comparing words in any script.
std::string lowercased(std::string_view text);

} // namespace tallyvox::WordFix

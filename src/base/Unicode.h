#pragma once

#include <string>
#include <string_view>

// Words in any script, on Unicode's own tables (utf8proc) rather than hand-kept ranges.
namespace tallyvox::Unicode {

// Letters, combining marks and digits of any script (general categories L, M and N). A
// Devanagari vowel sign belongs to its word; "।", "¿", "«", "’", "—" and emoji do not.
bool isWordCharacter(char32_t c);

// Full case folding of one character; may give several ("ß" -> "ss", "İ" -> "i̇").
std::u32string folded(char32_t c);

// Full case folding and canonical composition of UTF-8 text, for comparing words without
// regard to case or how an accent was typed. Broken sequences are repaired first.
std::string folded(std::string_view text);

// Only the word characters of `text`, case-folded: "Don't," -> "dont", "¿Qué?" -> "qué".
std::string wordKey(std::string_view text);

} // namespace tallyvox::Unicode

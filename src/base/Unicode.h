#pragma once

#include "base/Utf8.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Words in any script, on Unicode's own tables (utf8proc) rather than hand-kept ranges. The one
// place that folds case: every search and comparison of words goes through it.
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

// Valid UTF-8 in composed form (NFC): "é" typed as "e" and a combining accent reads as "é"
// typed as one character.
std::string composed(std::string_view text);

// Full case folding of valid UTF-8, character by character and without composing, into `out`
// (replacing what it held): line feeds stay line feeds, so the folded text splits into the
// same lines as the original. Fast enough for every saved transcript at once: ASCII folds
// eight bytes at a time, the rest of the Basic Multilingual Plane from a table made once.
// Returns false at the first broken sequence, leaving `out` unfinished. Given `isComposed`,
// also tells whether the text already reads the same in composed form.
bool caseFoldInto(std::string_view text, std::string& out, bool* isComposed = nullptr);

// Whether some character of valid UTF-8 text folds into several ("ß" -> "ss"): only then can
// a match of folded text be a match of part of a character.
bool foldsIntoSeveral(std::string_view text);

// The case folding of every character of a text, each folded character remembering which
// original character it came from (an index into `pieces`).
struct FoldedText {
    std::vector<Utf8::Piece> pieces;
    std::u32string chars;
    std::vector<std::size_t> origin;
};
FoldedText foldedText(std::string_view text);
// The same, without the origins.
std::u32string foldedCharacters(std::string_view text);

} // namespace tallyvox::Unicode

#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Text from the recogniser, the user and the sound server may hold broken UTF-8; these are the
// one place that reads it.
namespace tallyvox::Utf8 {

struct Char {
    char32_t value;     // U+FFFD when not valid
    std::size_t length; // bytes taken; a broken sequence takes its longest valid beginning
    bool valid;
};

// The character starting at byte `at` (which must be inside `text`).
Char decode(std::string_view text, std::size_t at);
void append(char32_t character, std::string& out);
// Every broken sequence replaced by one U+FFFD.
std::string repaired(std::string_view bytes);

// One character of a text and the bytes it came from.
struct Piece {
    char32_t value;
    std::size_t offset;
    std::size_t length;
};
// Values above U+10FFFF that stand for one malformed byte each: no real character has them,
// so such a byte only ever compares equal to itself.
inline constexpr char32_t malformedBase = 0x110000;
// Every character of `text`; a malformed byte is one piece of value malformedBase + byte.
std::vector<Piece> pieces(std::string_view text);

} // namespace tallyvox::Utf8

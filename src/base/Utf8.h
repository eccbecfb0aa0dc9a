#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

} // namespace tallyvox::Utf8

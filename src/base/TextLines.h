#pragma once

#include <string>
#include <string_view>

namespace tallyvox::TextLines {

// Line breaks of every kind (LF, VT, FF, CR, U+0085, U+2028, U+2029) become single spaces;
// empty pieces vanish; tabs stay. Text that ends up in a line-based file goes through this, so
// nothing inside it can start a line of its own.
std::string oneLine(std::string_view text);

// Without ASCII white space (space, tab, line feed, carriage return, vertical tab, form feed)
// at either end.
std::string_view trimmed(std::string_view text);
// Without any of `characters` at either end.
std::string_view trimmed(std::string_view text, std::string_view characters);

} // namespace tallyvox::TextLines

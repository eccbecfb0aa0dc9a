#pragma once

#include <string>
#include <string_view>

namespace tallyvox::PersonName {

// A person's name as typed or as a calendar lists it, made fit to head a transcript line:
// Unicode white space of every kind (U+00A0, U+3000, line and paragraph separators, U+0085)
// gone from both ends, line breaks and tabs inside turned into spaces, other control
// characters (C0, DEL, C1) dropped, and broken UTF-8 repaired. Empty means no name.
std::string cleaned(std::string_view name);

} // namespace tallyvox::PersonName

#pragma once

#include "base/Clock.h"

#include <string>
#include <string_view>

namespace tallyvox::DateText {

// A moment as text in the user's current time zone, with English month names and AM/PM
// whatever the process locale. The pattern uses the usual date-pattern letters: y, yy, yyyy,
// M, MM, MMM, MMMM, d, dd, H, HH, h, hh, m, mm, s, ss, a, and 'quoted' literal text; any
// other character is copied. An unknown pattern letter throws std::invalid_argument.
std::string format(SystemTime time, std::string_view pattern);

} // namespace tallyvox::DateText

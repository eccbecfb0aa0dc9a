#pragma once

#include <string>
#include <string_view>

namespace tallyvox::TranscriptFormat {

// "01:02:05": whole seconds, truncated, negatives as 0; hours are not capped.
std::string timestamp(double seconds);
// "[01:02:05]": the time as a line of a transcript shows it.
std::string bracketedTimestamp(double seconds);
// "01:02:05,900": rounded to the millisecond, negatives as 0.
std::string srtTimestamp(double seconds);
// Line breaks of every kind become single spaces; empty pieces vanish; tabs stay.
std::string oneLine(std::string_view text);

} // namespace tallyvox::TranscriptFormat

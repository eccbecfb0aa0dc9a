#pragma once

#include <set>
#include <string>
#include <string_view>

namespace tallyvox::WhisperPhantom {

// Sign-offs of online videos that the recogniser invents from silence or music.
extern const std::set<std::string, std::less<>> lines;

// Whether a line is one of those phrases, ignoring case, digits, punctuation and spacing,
// or a subtitle credit.
bool isPhantom(std::string_view text);

// The text lower-cased, letters and single spaces only.
std::string simplified(std::string_view text);

} // namespace tallyvox::WhisperPhantom

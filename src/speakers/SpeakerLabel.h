#pragma once

#include <string>

namespace tallyvox::SpeakerLabel {

// Speakers added by hand take numbers from here up to 999; the clusterer stays below.
inline constexpr int firstManual = 500;

// "Speaker B (Unidentified)", "Speaker 27 (Unidentified)", "Speaker 1 (added)".
std::string unidentified(int speaker);

} // namespace tallyvox::SpeakerLabel

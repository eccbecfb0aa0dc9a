#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "types/TranscriptSegment.h"

namespace tallyvox {

namespace SpeakerLabel {
// Speakers added by hand take numbers from here up to 999.
inline constexpr int firstManual = 500;
// "Speaker B (Unidentified)", "Speaker 27 (Unidentified)", "Speaker 1 (added)".
std::string unidentified(int speaker);
} // namespace SpeakerLabel

namespace SpeakerNames {

// The name shown for a speaker everywhere: typed name, then the microphone's own names,
// then a proven roster match, then the anonymous label.
std::string display(std::optional<int> speaker, const std::map<int, std::string>& typed,
                    const std::map<int, std::string>& matched, const std::string& myName);

// The distinct speakers of the lines, ascending.
std::vector<int> known(const std::vector<TranscriptSegment>& segments);

} // namespace SpeakerNames

} // namespace tallyvox

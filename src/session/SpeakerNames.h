#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "speakers/SpeakerLabel.h"
#include "types/TranscriptSegment.h"

namespace tallyvox {

namespace SpeakerNames {

// The name shown for a speaker everywhere: typed name, then the microphone's own names,
// then a proven roster match, then the anonymous label.
std::string display(std::optional<int> speaker, const std::map<int, std::string>& typed,
                    const std::map<int, std::string>& matched, const std::string& myName);

// The distinct speakers of the lines, ascending.
std::vector<int> known(const std::vector<TranscriptSegment>& segments);

} // namespace SpeakerNames

} // namespace tallyvox

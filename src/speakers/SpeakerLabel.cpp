#include "speakers/SpeakerLabel.h"

namespace tallyvox {

std::string SpeakerLabel::unidentified(int speaker) {
    if (speaker >= firstManual)
        return "Speaker " + std::to_string(speaker - (firstManual - 1)) + " (added)";
    if (speaker >= 0 && speaker <= 25)
        return std::string("Speaker ") + char('A' + speaker) + " (Unidentified)";
    return "Speaker " + std::to_string(speaker + 1) + " (Unidentified)";
}

} // namespace tallyvox

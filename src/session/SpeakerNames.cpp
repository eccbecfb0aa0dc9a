#include "session/SpeakerNames.h"

#include "speakers/PersonName.h"

#include <set>

namespace tallyvox {

std::string SpeakerNames::display(std::optional<int> speaker,
                                  const std::map<int, std::string>& typed,
                                  const std::map<int, std::string>& matched,
                                  const std::string& myName) {
    if (!speaker)
        return "Unidentified";
    // A typed name that cleans to nothing is no name, whoever stored it.
    if (auto it = typed.find(*speaker); it != typed.end())
        if (auto name = PersonName::cleaned(it->second); !name.empty())
            return name;
    if (*speaker == TranscriptSegment::room)
        return "Mic (could be anyone in the room)";
    if (*speaker == TranscriptSegment::you) {
        auto name = PersonName::cleaned(myName);
        return name.empty() ? "You" : name;
    }
    if (auto it = matched.find(*speaker); it != matched.end())
        return it->second;
    return SpeakerLabel::unidentified(*speaker);
}

std::vector<int> SpeakerNames::known(const std::vector<TranscriptSegment>& segments) {
    std::set<int> speakers;
    for (const auto& s : segments)
        if (s.speaker)
            speakers.insert(*s.speaker);
    return {speakers.begin(), speakers.end()};
}

} // namespace tallyvox

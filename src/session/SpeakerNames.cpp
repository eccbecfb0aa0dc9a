#include "session/SpeakerNames.h"

#include "base/TextLines.h"

#include <set>

namespace tallyvox {

namespace {

constexpr std::string_view spacesAndTabs = " \t";

} // namespace

std::string SpeakerNames::display(std::optional<int> speaker,
                                  const std::map<int, std::string>& typed,
                                  const std::map<int, std::string>& matched,
                                  const std::string& myName) {
    if (!speaker)
        return "Unidentified";
    if (auto it = typed.find(*speaker); it != typed.end())
        return std::string(TextLines::trimmed(it->second));
    if (*speaker == TranscriptSegment::room)
        return "Mic (could be anyone in the room)";
    if (*speaker == TranscriptSegment::you) {
        auto name = std::string(TextLines::trimmed(myName, spacesAndTabs));
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

#include "session/SpeakerNames.h"

#include <set>

namespace tallyvox {

namespace {

std::string trimmed(const std::string& text, const char* blanks) {
    auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

constexpr const char* whiteSpaceAndLineBreaks = " \t\n\r\v\f";
constexpr const char* spacesAndTabs = " \t";

} // namespace

std::string SpeakerNames::display(std::optional<int> speaker,
                                  const std::map<int, std::string>& typed,
                                  const std::map<int, std::string>& matched,
                                  const std::string& myName) {
    if (!speaker)
        return "Unidentified";
    if (auto it = typed.find(*speaker); it != typed.end())
        return trimmed(it->second, whiteSpaceAndLineBreaks);
    if (*speaker == TranscriptSegment::room)
        return "Mic (could be anyone in the room)";
    if (*speaker == TranscriptSegment::you) {
        auto name = trimmed(myName, spacesAndTabs);
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

#include "speakers/NameMatcher.h"

#include "base/Unicode.h"
#include "base/Utf8.h"
#include "types/TranscriptSegment.h"

#include <algorithm>

namespace tallyvox {

std::set<std::string> NameMatcher::key(std::string_view name) {
    std::string folded = Unicode::folded(name);
    std::set<std::string> pieces;
    std::string piece;
    for (const auto& c : Utf8::pieces(folded)) {
        if (Unicode::isWordCharacter(c.value)) {
            piece.append(folded, c.offset, c.length);
        } else if (!piece.empty()) {
            pieces.insert(std::move(piece));
            piece.clear();
        }
    }
    if (!piece.empty())
        pieces.insert(std::move(piece));
    return pieces;
}

std::vector<std::string> NameMatcher::others(const std::vector<std::string>& roster,
                                             std::string_view me) {
    std::vector<std::set<std::string>> seen{key(me)};
    std::vector<std::string> out;
    for (const auto& name : roster) {
        auto k = key(name);
        if (k.empty() || std::find(seen.begin(), seen.end(), k) != seen.end())
            continue;
        seen.push_back(std::move(k));
        out.push_back(name);
    }
    return out;
}

std::map<int, std::string> NameMatcher::match(const std::vector<std::string>& roster,
                                              std::string_view me,
                                              const std::map<int, double>& speakerSeconds) {
    auto names = others(roster, me);
    // The microphone's own numbers never count as a voice from the meeting.
    std::map<int, double> heard;
    for (const auto& [speaker, seconds] : speakerSeconds)
        if (speaker < TranscriptSegment::you)
            heard.emplace(speaker, seconds);
    if (names.size() == 1 && heard.size() == 1 && heard.begin()->second >= minSeconds)
        return {{heard.begin()->first, names.front()}};
    return {};
}

} // namespace tallyvox

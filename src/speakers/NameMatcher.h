#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Names another person's voice only when that can be proven: one other invitee and one
// voice heard long enough. A guess is never shown as a name.
namespace tallyvox::NameMatcher {

inline constexpr double minSeconds = 15.0;

// The lower-case word pieces of a name, so "Lee, Sam" and "sam lee" are one person but "Sam"
// and "Sam Lee" are not.
std::set<std::string> key(std::string_view name);

// The roster names that are other people, as written and in roster order: duplicates and the
// user's own entry drop out.
std::vector<std::string> others(const std::vector<std::string>& roster, std::string_view me);

// Speaker number to name: empty, or the one other invitee for the one voice heard.
std::map<int, std::string> match(const std::vector<std::string>& roster, std::string_view me,
                                 const std::map<int, double>& speakerSeconds);

} // namespace tallyvox::NameMatcher

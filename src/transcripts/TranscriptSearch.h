#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Finding words in transcript lines as people expect: without regard to case in any script
// ("STRASSE" finds "Straße"), whole matches only, never half a character.
namespace tallyvox::TranscriptSearch {

// Without white space and line breaks at either end.
std::string cleaned(std::string_view text);
// Non-overlapping occurrences of `query` in `text`, searching on after each match's end.
int hits(std::string_view text, std::string_view query);
// True when the query is empty or occurs in the text or in the speaker's name.
bool matches(std::string_view text, std::string_view speaker, std::string_view query);

// Bytes [begin, end) of the original text.
struct Range {
    std::size_t begin = 0;
    std::size_t end = 0;
    bool operator==(const Range&) const = default;
};
// Every occurrence of each non-empty term, in text order, overlapping ones joined.
std::vector<Range> highlights(std::string_view text, const std::vector<std::string>& terms);

} // namespace tallyvox::TranscriptSearch

#pragma once

#include "transcripts/TranscriptRecord.h"
#include "types/TranscriptSegment.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Reading a saved transcript text file back, so that any past meeting can be exported or
// restored. Pure functions over the text: the caller reads the file. Lines and turn headings
// are read by TranscriptTurns, as past search reads them.
namespace tallyvox::TranscriptReader {

// One speaker turn as the file shows it: "[00:00:04] Sam:" and the lines under it.
struct Turn {
    double start = 0;
    std::optional<std::string> speaker; // the display name; none for a line nobody said
    std::string text;                   // may span several lines

    bool operator==(const Turn&) const = default;
};

struct Parsed {
    std::vector<std::pair<std::string, std::string>> header; // label, value, in file order
    std::vector<Turn> turns;
    // What a session without lines says instead of turns; empty otherwise.
    std::string note;

    bool operator==(const Parsed&) const = default;
};

// Nothing when the text does not start with this app's transcript header ("Meeting: …"
// followed by "Label: value" lines). Broken UTF-8 is repaired first; a byte-order mark is
// skipped.
std::optional<Parsed> parse(std::string_view text);

// Whether the header has a "Platform" line naming a platform this app transcribes, as it
// writes it ("Zoom", "Google Meet (Firefox)"): the least that makes a file one of ours.
bool namesKnownPlatform(const Parsed& parsed);

// A record and lines from which TranscriptManager::text writes the same header and turns
// again; speakers are numbered from 0 and named through `names`. Dates come back in the
// user's time zone to the minute, as the header shows them.
struct Restored {
    TranscriptRecord record;
    std::vector<TranscriptSegment> segments;
    std::map<int, std::string> names;

    std::string name(int speaker) const;
};

// Nothing when the header lacks a platform, date, start time or consent this app writes.
std::optional<Restored> restore(const Parsed& parsed, const std::filesystem::path& file);

} // namespace tallyvox::TranscriptReader

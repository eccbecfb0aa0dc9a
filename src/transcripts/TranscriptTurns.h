#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

// The lines of a saved transcript text and the headings that start its turns, read by the
// same rules wherever the file is read back (export, search, restoring a meeting), so that a
// line is a turn's heading for all of them or for none.
namespace tallyvox::TranscriptTurns {

// The text without the UTF-8 byte-order mark some editors put before it, so the first line
// reads "Meeting: …" for every reader.
std::string_view withoutByteOrderMark(std::string_view text);

// The lines of a text, split at line feeds: n line feeds make n + 1 lines. A carriage return
// that ends a line is part of its line end (a file saved again by an editor that ends lines
// with CR LF reads as the original); one inside a line stays.
class Lines {
public:
    explicit Lines(std::string_view text)
        : text_(text) {}
    // The next line into `line`; false once every line was given.
    bool next(std::string_view& line);

private:
    std::string_view text_;
    std::size_t at_ = 0;
    bool done_ = false;
};

// One line without the carriage return of its line end.
std::string_view withoutCarriageReturn(std::string_view line);
// A number the format writes: ASCII digits only, at most twelve of them (hours still fit the
// seconds' count many times over).
std::optional<long long> number(std::string_view digits);

// "[01:02:05] Sam:" or "[01:02:05]": hours of two to twelve digits, minutes and seconds of two
// digits below 60, then nothing or a space, the name and a colon (the name has no line break
// and may hold colons, and may be empty).
struct Heading {
    std::string_view time; // as written: "01:02:05"
    double start = 0;      // seconds
    std::optional<std::string_view> speaker;
    std::size_t speakerAt = 0; // byte offset of the speaker in the line; its size when none
};
std::optional<Heading> heading(std::string_view line);

} // namespace tallyvox::TranscriptTurns

#include "transcripts/PastSearch.h"
#include "transcripts/TranscriptReader.h"
#include "transcripts/TranscriptTurns.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using namespace tallyvox;

namespace {

struct Case {
    std::string line; // the heading line, without its line end
    bool heading;
    std::string time;
    double start = 0;
    std::optional<std::string> speaker;
};

// One turn under a header, as the app writes it, with `end` as every line's end.
std::string transcript(const std::string& heading, const std::string& end = "\n") {
    return "Meeting: Plans" + end + "Platform: Zoom" + end + end + heading + end +
           "the budget is ready" + end;
}

} // namespace

// Export, restoring a meeting and past search read a line as a turn's heading by one rule, so
// a turn one of them shows is never text to another.
TEST(TranscriptTurns, SearchAndTheReaderAgreeOnEveryHeading) {
    const std::vector<Case> cases = {
        {"[00:00:04] Sam:", true, "00:00:04", 4, "Sam"},
        {"[00:00:04]", true, "00:00:04", 4, std::nullopt},
        {"[01:59:59] Dr. No: Yes:", true, "01:59:59", 7199, "Dr. No: Yes"},
        {"[100:00:07] Ana:", true, "100:00:07", 360007, "Ana"},
        {"[00:00:04] :", true, "00:00:04", 4, ""},
        {"[00:99:99] Sam:", false, "", 0, {}},
        {"[00:60:00] Sam:", false, "", 0, {}},
        {"[00:00:60] Sam:", false, "", 0, {}},
        {"[00:000:01] Sam:", false, "", 0, {}},
        {"[0:00:01] Sam:", false, "", 0, {}},
        {"[0000000000000:00:01] Sam:", false, "", 0, {}},
        {"[00:00] Sam:", false, "", 0, {}},
        {"[00:0a:01] Sam:", false, "", 0, {}},
        {"[00:00:04] Sam", false, "", 0, {}},
        {"[00:00:04]Sam:", false, "", 0, {}},
        {"[00:00:04] Sam: hi", false, "", 0, {}},
    };
    const std::filesystem::path file = "/t/Zoom_Meeting_14-05.txt";
    for (const auto& c : cases)
        for (const std::string& text :
             {transcript(c.line), transcript(c.line, "\r\n"), "\xEF\xBB\xBF" + transcript(c.line),
              // Saved again by an editor that changed only the heading's line end.
              transcript(c.line + "\r")}) {
            SCOPED_TRACE(::testing::PrintToString(text));
            const auto head = TranscriptTurns::heading(c.line);
            ASSERT_EQ(head.has_value(), c.heading);
            const auto parsed = TranscriptReader::parse(text);
            ASSERT_TRUE(parsed);
            EXPECT_EQ(parsed->header.front().second, "Plans");
            const auto hits = PastSearch::search(text, file, {"budget"});
            if (!c.heading) {
                EXPECT_TRUE(parsed->turns.empty());
                EXPECT_TRUE(hits.empty());
                continue;
            }
            EXPECT_EQ(head->time, c.time);
            EXPECT_EQ(head->start, c.start);
            EXPECT_EQ(head->speaker, c.speaker);
            ASSERT_EQ(parsed->turns.size(), 1u);
            EXPECT_EQ(parsed->turns[0],
                      (TranscriptReader::Turn{
                          .start = c.start, .speaker = c.speaker, .text = "the budget is ready"}));
            ASSERT_EQ(hits.size(), 1u);
            EXPECT_EQ(hits[0].meeting, "Plans");
            EXPECT_EQ(hits[0].time, c.time);
            EXPECT_EQ(hits[0].speaker, c.speaker.value_or(""));
            EXPECT_EQ(hits[0].text, "the budget is ready");
        }
}

TEST(TranscriptTurns, LinesEndAtLineFeedsAndLoseOnlyTheCarriageReturnOfTheirEnd) {
    auto lines = [](std::string_view text) {
        std::vector<std::string_view> out;
        TranscriptTurns::Lines reader(text);
        for (std::string_view line; reader.next(line);)
            out.push_back(line);
        return out;
    };
    using Views = std::vector<std::string_view>;
    EXPECT_EQ(lines(""), Views{""});
    EXPECT_EQ(lines("a\n"), (Views{"a", ""}));
    EXPECT_EQ(lines("a\r\nb\nc\r"), (Views{"a", "b", "c"}));
    EXPECT_EQ(lines("Hi\rthere\r\n\r\n"), (Views{"Hi\rthere", "", ""}));
    EXPECT_EQ(TranscriptTurns::withoutByteOrderMark("\xEF\xBB\xBF\xEF\xBB\xBFx"), "\xEF\xBB\xBFx")
        << "only one mark is the file's";
}

#include "fakes/Lines.h"
#include "transcription/CleanupFilters.h"
#include "transcription/TurnJoining.h"

#include <gtest/gtest.h>

#include <limits>

using namespace tallyvox;

namespace {
using tallyvox::testing::line;
using tallyvox::testing::texts;
constexpr int you = TranscriptSegment::you;
} // namespace

TEST(JoinTurns, SameSpeakerWithinASecondBecomesOneLineUnlessALeakMeetsAVoice) {
    auto a = line(0, 2, "Hello", 1, 0.2f);
    auto b = line(2.5, 4, "there", 1, 0.3f);
    auto joined = joinTurns({a, b, line(4.2, 5, "Hi", 2), line(6.5, 7, "again", 2)});
    ASSERT_EQ(texts(joined), (std::vector<std::string>{"Hello there", "Hi", "again"}));
    EXPECT_EQ(joined[0].start, 0);
    EXPECT_EQ(joined[0].end, 4);
    EXPECT_EQ(joined[0].level, 0.3f);
    EXPECT_NE(joined[0].id, a.id);

    auto leak = joinTurns({line(0, 2, "my own words", you, 0.5f), line(2.2, 3, "far", you, 0.1f)});
    EXPECT_EQ(leak.size(), 2u);
    EXPECT_EQ(joinTurns({line(0, 1, "a", std::nullopt), line(1.1, 2, "b", std::nullopt)}).size(),
              2u)
        << "lines without a speaker never merge";
}

TEST(StartsTurn, NewSpeakerOrAMinuteOfSilence) {
    auto first = line(0, 5, "a", 1);
    EXPECT_TRUE(startsTurn(first, nullptr));
    EXPECT_FALSE(startsTurn(line(30, 31, "b", 1), &first));
    EXPECT_TRUE(startsTurn(line(65.5, 66, "b", 1), &first));
    EXPECT_TRUE(startsTurn(line(6, 7, "b", std::nullopt), &first));
    auto none = line(0, 1, "x", std::nullopt);
    EXPECT_FALSE(startsTurn(line(2, 3, "y", std::nullopt), &none));
}

TEST(CleanupFilters, MicLinesThatEchoTheMeetingAreDropped) {
    std::vector<TranscriptSegment> lines{
        line(10, 14, "we should ship the plan on Monday", 1),
        line(10.5, 14, "we should ship the plan on Monday", you),
        line(20, 24, "I think that works well for me too", you),
    };
    EXPECT_EQ(texts(CleanupFilters::withoutEchoes(lines)),
              (std::vector<std::string>{"we should ship the plan on Monday",
                                        "I think that works well for me too"}));
}

TEST(CleanupFilters, QuietMicLinesAreLeaksOnlyAgainstLongLinesOfTheUser) {
    std::string eight = "one two three four five six seven eight";
    std::vector<TranscriptSegment> lines{
        line(0, 3, eight, you, 0.5f),        line(4, 6, eight, you, 0.6f),
        line(7, 8, "short loud", you, 0.4f), line(9, 10, "short quiet", you, 0.1f),
        line(11, 12, "meeting line", 1),     line(13, 14, "no level", you)};
    // Reference = levels {0.5, 0.6} at index floor(1 * 0.75) = 0 -> 0.5; threshold 0.15.
    EXPECT_EQ(texts(CleanupFilters::withoutLeakage(lines)),
              (std::vector<std::string>{eight, eight, "short loud", "meeting line", "no level"}));

    std::vector<TranscriptSegment> shortOnly{line(0, 1, "quiet", you, 0.01f),
                                             line(1, 2, "loud", you, 0.9f)};
    EXPECT_EQ(CleanupFilters::withoutLeakage(shortOnly).size(), 2u)
        << "without a long line there is no reference";

    // A level that is no number is no measurement: it neither sets the reference nor
    // makes its own line a leak.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<TranscriptSegment> unmeasured{
        line(0, 3, eight, you, nan), line(4, 5, "short", you, 0.2f), line(6, 9, eight, you, 0.5f)};
    EXPECT_EQ(CleanupFilters::withoutLeakage(unmeasured).size(), 3u);
    unmeasured.pop_back();
    EXPECT_EQ(CleanupFilters::withoutLeakage(unmeasured).size(), 2u);
}

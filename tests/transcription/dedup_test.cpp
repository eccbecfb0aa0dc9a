#include "fakes/Lines.h"
#include "transcription/Dedup.h"

#include <gtest/gtest.h>

using namespace tallyvox;

TEST(DedupWords, NormalFormsDropPunctuationAndCase) {
    EXPECT_EQ(Dedup::words("  So,  we go "), (std::vector<std::string>{"So,", "we", "go"}));
    EXPECT_EQ(Dedup::norm("Don't,"), "dont");
    EXPECT_EQ(Dedup::norm("--"), "");
    EXPECT_EQ(Dedup::significantWords("Well -- OK."), (std::vector<std::string>{"well", "ok"}));
    EXPECT_EQ(Dedup::norm("Ärger"), "ärger");
}

// Words compare the same in any script: case by full folding, punctuation of every kind
// dropped, marks kept with their letters.
TEST(DedupWords, AnyScriptComparesWordForWord) {
    EXPECT_EQ(Dedup::norm("ÜBER"), Dedup::norm("über"));
    EXPECT_EQ(Dedup::norm("É"), Dedup::norm("e\u0301")) << "precomposed or combined accent";
    EXPECT_EQ(Dedup::norm("STRASSE"), Dedup::norm("straße"));
    EXPECT_EQ(Dedup::significantWords("¿Qué? «Sí» — ’tis।"),
              (std::vector<std::string>{"qué", "sí", "tis"}));
    EXPECT_TRUE(Dedup::significantWords("— — —").empty());
    EXPECT_NE(Dedup::norm("कि"), Dedup::norm("का")) << "vowel signs belong to the word";
    EXPECT_EQ(Dedup::trimOverlap("हम कल मिलेंगे।", "मिलेंगे, फिर बात करेंगे", true), "फिर बात करेंगे");
    EXPECT_EQ(Dedup::trimOverlap("Nos vemos en Múnich", "EN MÚNICH entonces", false), "entonces");
}

TEST(DedupTrimOverlap, RepeatedWordsAtTheSeamAreRemoved) {
    EXPECT_EQ(Dedup::trimOverlap("we agreed on the plan", "On the plan, then we ship", false),
              "then we ship");
    EXPECT_EQ(Dedup::trimOverlap("we agreed on the plan", "plan is fine", false), "plan is fine")
        << "one repeated word stays without a time overlap";
    EXPECT_EQ(Dedup::trimOverlap("we agreed on the plan", "plan is fine", true), "is fine");
    EXPECT_EQ(Dedup::trimOverlap("a b c", "a b c", false), "");
    EXPECT_EQ(Dedup::trimOverlap("wait -- --", "-- -- now", true), "-- -- now")
        << "punctuation alone is never a repeat";
}

TEST(DedupMayRepeat, CloseInTimeAndNoConflictingSpeakers) {
    TranscriptSegment last;
    last.end = 10;
    last.speaker = 1;
    EXPECT_TRUE(Dedup::mayRepeat(11.9, 1, last));
    EXPECT_TRUE(Dedup::mayRepeat(11.9, std::nullopt, last));
    EXPECT_FALSE(Dedup::mayRepeat(11.9, 2, last));
    EXPECT_FALSE(Dedup::mayRepeat(12.0, 1, last));
}

TEST(DedupEcho, NeedsFiveWordsALongRunAndMostWordsShared) {
    EXPECT_FALSE(Dedup::isEcho("the plan is good", "the plan is good")) << "under 5 words";
    EXPECT_TRUE(Dedup::isEcho("Let's ship the plan on Monday.",
                              "okay so let's ship the plan on Monday then"));
    EXPECT_FALSE(Dedup::isEcho("ship plan Monday let's go now",
                               "let's ship the plan on Monday then we go now"))
        << "shared words without a run of four are not an echo";
}

TEST(DedupEcho, MicLineEchoesOnlyNearbyMeetingLines) {
    using tallyvox::testing::line;
    std::vector<TranscriptSegment> lines{
        line(10, 13, "we should ship the plan", 1), line(13, 15, "on Monday morning", 2),
        line(12, 15, "we should ship the plan on Monday", TranscriptSegment::you),
        line(40, 45, "something else entirely was said here", 1)};
    EXPECT_TRUE(Dedup::echoes("We should ship the plan on Monday", 12, 15, lines));
    EXPECT_FALSE(Dedup::echoes("We should ship the plan on Monday", 30, 33, lines))
        << "meeting lines further than 3 s away do not count";
}

TEST(DedupRepeats, ShortTextIsASubsequenceLongTextAnEcho) {
    std::string context = "so the team met on Monday and we decided that the new roadmap "
                          "goes out after the sprint review next week";
    EXPECT_TRUE(Dedup::repeats("team decided roadmap", context));
    EXPECT_FALSE(Dedup::repeats("roadmap decided team", context)) << "order matters";
    EXPECT_FALSE(Dedup::repeats("", context));
    EXPECT_TRUE(Dedup::repeats("the new roadmap goes out after", context));
}

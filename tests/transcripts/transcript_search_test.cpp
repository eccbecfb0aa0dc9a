#include "transcripts/TranscriptSearch.h"

#include <gtest/gtest.h>

using namespace tallyvox;
using TranscriptSearch::Range;

TEST(TranscriptSearch, QueriesAreTrimmedAndCountedWithoutCaseInAnyScript) {
    EXPECT_EQ(TranscriptSearch::cleaned("  \t sam \n"), "sam");
    EXPECT_EQ(TranscriptSearch::cleaned(" \u2028 "), "");
    EXPECT_EQ(TranscriptSearch::cleaned("\u00a0Москва\u2029"), "Москва");

    EXPECT_EQ(TranscriptSearch::hits("aaaa", "aa"), 2) << "searching goes on after each match";
    EXPECT_EQ(TranscriptSearch::hits("The DEPLOY deploys", "deploy"), 2);
    EXPECT_EQ(TranscriptSearch::hits("Встреча в МОСКВЕ", "москве"), 1);
    EXPECT_EQ(TranscriptSearch::hits("Die Straße", "STRASSE"), 1);
    EXPECT_EQ(TranscriptSearch::hits("Die Straße", "stras"), 0) << "never half of a ß";
    EXPECT_EQ(TranscriptSearch::hits("anything", ""), 0);
    EXPECT_EQ(TranscriptSearch::hits("bad \xff bytes", "bytes"), 1);

    EXPECT_TRUE(TranscriptSearch::matches("Let's ship it.", "Sam", "sam"))
        << "a speaker's name finds their lines";
    EXPECT_TRUE(TranscriptSearch::matches("anything", "Sam", ""));
    EXPECT_FALSE(TranscriptSearch::matches("Let's ship it.", "Asha", "sam"));
}

TEST(TranscriptSearch, HighlightsCoverWholeCharactersOfTheOriginalText) {
    EXPECT_EQ(TranscriptSearch::highlights("Straße und STRASSE", {"strasse"}),
              (std::vector<Range>{{0, 7}, {12, 19}}));
    EXPECT_EQ(TranscriptSearch::highlights("deploy the deployment", {"deploy", "the dep", ""}),
              (std::vector<Range>{{0, 6}, {7, 17}}))
        << "overlapping terms join, empty terms mark nothing";
    EXPECT_TRUE(TranscriptSearch::highlights("text", {}).empty());
}

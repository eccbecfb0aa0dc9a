#include "transcription/ChunkCommitter.h"

#include <gtest/gtest.h>

using namespace tallyvox;
namespace CC = tallyvox::ChunkCommitter;

namespace {
WhisperSegment seg(double start, double end, std::string text = "words") {
    return WhisperSegment{start, end, std::move(text), {}};
}
using Ranges = std::vector<SpeechRange>;
} // namespace

TEST(ChunkCommitterSplit, FinalWindowCommitsEverythingAndCutsAtItsEnd) {
    std::vector<WhisperSegment> segments{seg(0, 5), seg(4, 19.9)};
    auto result = CC::split(segments, Ranges{{0, 19.9}}, 20, true);
    EXPECT_EQ(result.commit, segments);
    EXPECT_DOUBLE_EQ(result.cut, 20);
}

TEST(ChunkCommitterSplit, FullWindowOfContinuousSpeechDoesNotWaitForAPause) {
    // Speech from the first second into the end, longer than 12 s: the candidate is D - 1.
    std::vector<WhisperSegment> segments{seg(0.5, 10), seg(10, 20), seg(20, 28.5), seg(28.5, 30)};
    auto result = CC::split(segments, Ranges{{0.4, 30}}, 30, false);
    ASSERT_EQ(result.commit.size(), 3u);
    // The last committed segment ends at 28.5 and no speech range ends after 29, so the
    // cut is the candidate 29 pulled before the uncommitted segment: 28.5 - 0.3.
    EXPECT_NEAR(result.cut, 28.2, 1e-9);
}

TEST(ChunkCommitterSplit, UncommittedSegmentPullsTheCutBeforeItsStart) {
    // A 20 s window whose speech stopped at 12 s; the only segment ends after the candidate.
    auto result = CC::split({seg(8, 19.8)}, Ranges{{8, 12}}, 20, false);
    EXPECT_TRUE(result.commit.empty());
    EXPECT_NEAR(result.cut, 7.7, 1e-9);
}

TEST(ChunkCommitterSplit, FullWindowReHearsAtMostTenSeconds) {
    // Speech from 22 s into the end is still running; the speech at 2-8 s was never
    // recognised, but a full window re-hears at most its last 10 s.
    auto result = CC::split({seg(22, 29.5)}, Ranges{{2, 8}, {22, 30}}, 30, false);
    EXPECT_TRUE(result.commit.empty());
    EXPECT_NEAR(result.cut, 20, 1e-9);
}

TEST(ChunkCommitterSplit, ShortWindowWithNothingCommittedWaits) {
    auto result = CC::split({seg(0.2, 9.9)}, Ranges{{0.2, 10}}, 10, false);
    EXPECT_TRUE(result.commit.empty());
    EXPECT_DOUBLE_EQ(result.cut, 0);
}

TEST(ChunkCommitterSplit, AWindowOf29SecondsThatWouldCutAt0MovesOnWithEverything) {
    std::vector<WhisperSegment> segments{seg(0.1, 28.9)};
    auto result = CC::split(segments, Ranges{{0.1, 10}, {10.5, 29}}, 29, false);
    // Candidate 10.5 (speech of 18.5 s into the end is long, so D - 1 = 28); the segment
    // runs past it, the cut falls to its start minus 0.3 and is clamped to 0.
    EXPECT_EQ(result.commit, segments);
    EXPECT_DOUBLE_EQ(result.cut, 29);
}

TEST(ChunkCommitterSplit, WithoutVadTheCutFollowsTheLastCommittedSegment) {
    auto result = CC::split({seg(0, 6), seg(6, 12), seg(12, 19.5)}, std::nullopt, 20, false);
    ASSERT_EQ(result.commit.size(), 2u);
    EXPECT_NEAR(result.cut, 11.7, 1e-9);

    auto silent = CC::split({}, Ranges{}, 20, false);
    EXPECT_NEAR(silent.cut, 19.2, 1e-9) << "silence is consumed except a short tail";
}

TEST(ChunkCommitterSplit, LaterSegmentCanCommitPastAnEarlierLongOne) {
    // Segments are checked one by one: a short one may be final while a longer earlier one
    // is not, and the cut still stops before the earlier one.
    auto result = CC::split({seg(2, 19.5), seg(3, 5)}, Ranges{{2, 20}}, 20, false);
    ASSERT_EQ(result.commit.size(), 1u);
    EXPECT_DOUBLE_EQ(result.commit[0].start, 3);
    EXPECT_NEAR(result.cut, 1.7, 1e-9);
}

TEST(ChunkCommitterHoles, UncoveredSpeechOfThreeSecondsOrMore) {
    std::vector<WhisperSegment> segments{seg(10, 12), seg(0, 2)};
    auto found = CC::holes(segments, Ranges{{0, 9}, {9.5, 11}, {14, 20}});
    // (2, 9) is skipped speech; (9.5, 10) is too short; (14, 20) lies after the last segment.
    EXPECT_EQ(found, (Ranges{{2, 9}}));
    EXPECT_TRUE(CC::holes({}, Ranges{{0, 20}}).empty());
    EXPECT_EQ(CC::holes({seg(5, 6)}, Ranges{{0, 6}}), (Ranges{{0, 5}}));
}

TEST(ChunkCommitterLanguage, PiecesOfAboutFiveSeconds) {
    EXPECT_EQ(CC::languagePieces(Ranges{{0, 12.5}, {20, 21}}),
              (Ranges{{0, 12.5 / 3}, {12.5 / 3, 25.0 / 3}, {25.0 / 3, 12.5}, {20, 21}}));
}

TEST(ChunkCommitterLanguage, SwitchingToTheMainLanguageIsEasierThanAwayFromIt) {
    std::vector<std::string> among{"en", "hi"};
    EXPECT_EQ(CC::language({{"en", 0.55f}, {"hi", 0.45f}}, "hi", among), "en");
    EXPECT_EQ(CC::language({{"hi", 0.6f}, {"en", 0.35f}}, "en", among), "en");
    EXPECT_EQ(CC::language({{"hi", 0.7f}, {"en", 0.3f}}, "en", among), "hi");
    EXPECT_EQ(CC::language({}, "hi", among), "hi");
    EXPECT_EQ(CC::language({{"en", 0.2f}}, "fr", among), "en") << "an absent current counts 0";
}

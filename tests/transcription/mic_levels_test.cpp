#include "transcription/MicLevels.h"
#include "transcription/OwnAudio.h"

#include "fakes/ScriptedRecognizer.h"

#include <gtest/gtest.h>

#include <limits>

namespace tallyvox {
namespace {

using testing::makeSegment;

std::vector<std::string> texts(const std::vector<MicLevels::Run>& runs) {
    std::vector<std::string> out;
    for (const auto& run : runs)
        out.push_back(run.first.text);
    return out;
}

TEST(OwnAudio, TakesOnlyDetectedSpeechInsideTheSpanElseTheWholeSpan) {
    std::vector<float> samples(16000 * 4);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(i);
    std::vector<SpeechRange> speech{{0.5, 1.0}, {1.5, 2.5}, {3.5, 9}};

    auto own = ownAudio(samples, {0.75, 2.0}, speech);
    ASSERT_EQ(own.size(), 4000u + 8000u);
    EXPECT_EQ(own.front(), 12000);
    EXPECT_EQ(own[4000], 24000);
    EXPECT_EQ(own.back(), 31999);

    EXPECT_EQ(ownAudio(samples, {2.6, 3.0}, speech).size(), 6400u); // no speech inside
    EXPECT_EQ(ownAudio(samples, {3.0, 3.5}, std::nullopt).size(), 8000u);
    auto clamped = ownAudio(samples, {3.75, 20}, speech);
    EXPECT_EQ(clamped.size(), 4000u);
    EXPECT_TRUE(ownAudio(samples, {-5, -1}, std::nullopt).empty());
}

TEST(MicLevels, LevelIsTheRootMeanSquareOfTheOwnAudio) {
    std::vector<float> audio(16000, 0.0f);
    std::fill(audio.begin() + 8000, audio.end(), 0.3f);
    EXPECT_NEAR(MicLevels::level({0.5, 1.0}, audio, std::nullopt), 0.3f, 1e-6);
    EXPECT_NEAR(MicLevels::level({0, 1.0}, audio, std::vector<SpeechRange>{{0.5, 1}}), 0.3f, 1e-6);
    EXPECT_EQ(MicLevels::level({2, 3}, audio, std::nullopt), 0);
}

TEST(MicLevels, MedianIsTheUpperMiddleOfTheSortedLevels) {
    EXPECT_EQ(MicLevels::median({4, 1, 3, 2}), 3);
    EXPECT_EQ(MicLevels::median({5, 1, 3}), 3);
    EXPECT_EQ(MicLevels::median({}), 0);
}

TEST(MicLevels, LevelsThatAreNoNumberDoNotCount) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FLOAT_EQ(MicLevels::median({nan, 0.2f, 0.3f, nan}), 0.3f);
    EXPECT_FLOAT_EQ(MicLevels::median({nan}), 0.0f);
}

TEST(MicLevels, LineStaysWholeWhenLevelsCannotSplitIt) {
    auto one = makeSegment(0, 1, "hello");
    EXPECT_EQ(texts(MicLevels::levelRuns(one, {0.4f})), (std::vector<std::string>{"hello"}));
    auto three = makeSegment(0, 3, "a b c");
    auto mismatched = MicLevels::levelRuns(three, {0.5f, 0.01f});
    ASSERT_EQ(mismatched.size(), 1u);
    EXPECT_EQ(mismatched[0].first, three);
    EXPECT_EQ(mismatched[0].second, 0.5f);
    auto silent = MicLevels::levelRuns(three, {0, 0, 0});
    ASSERT_EQ(silent.size(), 1u);
    EXPECT_EQ(silent[0].second, 0);
}

TEST(MicLevels, ShortBlipsFollowTheirLongerNeighbour) {
    auto line = makeSegment(0, 8, "w1 w2 w3 w4 w5 w6 w7 w8");
    auto blip = MicLevels::levelRuns(line, {0.5f, 0.5f, 0.5f, 0.05f, 0.5f, 0.5f, 0.5f, 0.5f});
    ASSERT_EQ(texts(blip), (std::vector<std::string>{"w1 w2 w3 w4 w5 w6 w7 w8"}));
    EXPECT_EQ(blip[0].second, 0.5f);

    // A quiet word inside the voice joins it; a loud word inside the leak joins the leak.
    auto runs = MicLevels::levelRuns(line, {0.5f, 0.5f, 0.5f, 0.05f, 0.5f, 0.05f, 0.04f, 0.06f});
    ASSERT_EQ(texts(runs), (std::vector<std::string>{"w1 w2 w3 w4", "w5 w6 w7 w8"}));
    EXPECT_DOUBLE_EQ(runs[0].first.start, 0);
    EXPECT_DOUBLE_EQ(runs[0].first.end, 4);
    EXPECT_DOUBLE_EQ(runs[1].first.start, 4);
    EXPECT_DOUBLE_EQ(runs[1].first.end, 8);
    EXPECT_EQ(runs[0].second, 0.5f);
    EXPECT_EQ(runs[1].second, 0.06f);
    EXPECT_EQ(runs[1].first.words.size(), 4u);
}

TEST(MicLevels, ShortRunsStandWhenNoNeighbourIsLong) {
    auto runs = MicLevels::levelRuns(makeSegment(0, 4, "a b c d"), {0.5f, 0.5f, 0.05f, 0.05f});
    ASSERT_EQ(texts(runs), (std::vector<std::string>{"a b", "c d"}));
    EXPECT_DOUBLE_EQ(runs[0].first.end, 2);
    EXPECT_DOUBLE_EQ(runs[1].first.end, 4);
}

TEST(MicLevels, WordlessSegmentGetsTheLevelOfItsSpan) {
    std::vector<float> audio(32000, 0.2f);
    auto runs = MicLevels::micRuns(makeSegment(0, 2, "no timings", false), audio, std::nullopt);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].first.text, "no timings");
    EXPECT_NEAR(runs[0].second, 0.2f, 1e-6);
}

} // namespace
} // namespace tallyvox

#include "speakers/SpeakerClusterer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace tallyvox;

namespace {
// A unit vector whose similarity to {1, 0} is `similarity`.
std::vector<float> at(float similarity) {
    return {similarity, std::sqrt(1 - similarity * similarity)};
}
} // namespace

TEST(SpeakerClusterer, ShortClipsJoinAtTheLowBarAndTeachNothing) {
    SpeakerClusterer c;
    c.assign({1, 0}, 5);
    EXPECT_EQ(c.assign(at(0.36f), 0.9), 0);
    EXPECT_EQ(c.assign(at(0.34f), 0.9), std::nullopt);
    EXPECT_EQ(c.centroids.size(), 1u);
    EXPECT_EQ(c.seconds[0], 5.0);
}

TEST(SpeakerClusterer, MediumClipsMeetAHigherBarAgainstYoungSpeakers) {
    SpeakerClusterer young;
    young.assign({1, 0}, 2.5);
    EXPECT_EQ(young.assign(at(0.4f), 1.5), std::nullopt) << "too short to found a speaker";
    EXPECT_EQ(young.centroids.size(), 1u);
    // Joining a young speaker moves it by seconds: 2.5 s of {1,0} against 1.5 s of the clip.
    EXPECT_EQ(young.assign(at(0.5f), 1.5), 0);
    auto e = at(0.5f);
    auto expected = SpeakerClusterer::normalized({2.5f + 1.5f * e[0], 1.5f * e[1]});
    EXPECT_NEAR(young.centroids[0][0], expected[0], 1e-6);
    EXPECT_NEAR(young.centroids[0][1], expected[1], 1e-6);
    EXPECT_DOUBLE_EQ(young.seconds[0], 4.0);

    SpeakerClusterer established;
    established.assign({1, 0}, 3.0);
    EXPECT_EQ(established.assign(at(0.4f), 1.5), 0) << "established speakers take 0.35";
    EXPECT_EQ(established.centroids[0], (std::vector<float>{1, 0})) << "but do not learn below 0.6";
    EXPECT_EQ(established.seconds[0], 3.0);
}

TEST(SpeakerClusterer, LongClipsNeedAConfidentMatchOrFoundASpeaker) {
    SpeakerClusterer c;
    c.assign({1, 0}, 3.0);
    EXPECT_EQ(c.assign(at(0.59f), 3.0), 1);
    EXPECT_EQ(c.centroids.size(), 2u);

    EXPECT_EQ(c.assign(at(0.9f), 2.0), 0) << "the closer of two speakers";
    auto e = at(0.9f);
    auto expected = SpeakerClusterer::normalized({0.8f + 0.2f * e[0], 0.2f * e[1]});
    EXPECT_NEAR(c.centroids[0][0], expected[0], 1e-6);
    EXPECT_NEAR(c.centroids[0][1], expected[1], 1e-6);
    EXPECT_DOUBLE_EQ(c.seconds[0], 5.0);
}

TEST(SpeakerClusterer, AtMostMaxSpeakersAndTheRestGoToTheBestWithoutLearning) {
    SpeakerClusterer c(0.6f, 2);
    c.assign({1, 0, 0}, 3);
    c.assign({0, 1, 0}, 3);
    auto before = c.centroids;
    EXPECT_EQ(c.assign({0.1f, 0.2f, 1}, 5), 1);
    EXPECT_EQ(c.centroids, before);
    EXPECT_EQ(c.seconds, (std::vector<double>{3, 3}));
}

TEST(SpeakerClusterer, NormalizedLeavesZeroVectorsAndDotUsesTheShorter) {
    EXPECT_EQ(SpeakerClusterer::normalized({0, 0}), (std::vector<float>{0, 0}));
    EXPECT_TRUE(SpeakerClusterer::normalized({}).empty());
    EXPECT_EQ(SpeakerClusterer::normalized({0, -2}), (std::vector<float>{0, -1}));
    EXPECT_EQ(SpeakerClusterer::dot({1, 2, 3}, {4, 5}), 14.0f);
}

// A NaN once founded speaker 0 with a NaN centroid, which then took every later voice.
TEST(SpeakerClusterer, ANonFiniteEmbeddingIsNoOneAndTeachesNothing) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    SpeakerClusterer c;
    EXPECT_EQ(c.assign({nan, 0}, 5), std::nullopt);
    EXPECT_EQ(c.assign({inf, 0}, 5), std::nullopt);
    EXPECT_TRUE(c.centroids.empty());
    EXPECT_EQ(c.assign({1, 0}, 3), 0);
    EXPECT_EQ(c.assign({0, -inf}, 5), std::nullopt);
    EXPECT_EQ(c.assign({1, nan}, 0.5), std::nullopt);
    EXPECT_EQ(c.centroids[0], (std::vector<float>{1, 0}));
    EXPECT_EQ(c.seconds[0], 3.0);
    EXPECT_EQ(c.assign({0, 1}, 3), 1) << "a different voice is still told apart";
}

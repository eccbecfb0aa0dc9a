#include "transcription/WhisperContext.h"

#include "fakes/TestAudio.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace tallyvox {
namespace {

std::vector<float> jfk() {
    return tallyvox::testing::readPcm16Wav(std::string(TALLYVOX_SHARED_DIR) + "/audio/jfk.wav");
}

TEST(RandomModelRecognition, SegmentsCarryMonotonicWordTimingsInsideThem) {
    WhisperContext context(WhisperModel::tiny, TALLYVOX_TEST_MODEL, "/nonexistent");
    auto segments = context.transcribe(jfk(), "en", "");
    ASSERT_FALSE(segments.empty());
    size_t words = 0;
    for (const auto& segment : segments) {
        EXPECT_FALSE(segment.text.empty());
        EXPECT_LT(segment.start, segment.end);
        double previous = segment.start;
        for (const auto& word : segment.words) {
            EXPECT_GE(word.start, previous - 1e-9) << word.text;
            EXPECT_LE(word.start, word.end) << word.text;
            EXPECT_LE(word.end, segment.end + 1e-9) << word.text;
            previous = word.start;
            ++words;
        }
    }
    EXPECT_GT(words, 0u);
}

// The benchmarks' model files: matrices quantised by ggml as in the downloaded Large v3 Turbo,
// and a decoder held to as many tokens as real speech gives, through the product's recogniser.
TEST(RandomModelRecognition, QuantisedModelLoadsAndForcedDecodingWritesTheTokensAsked) {
    WhisperContext context(WhisperModel::tiny, TALLYVOX_TEST_MODEL_Q5_0, "/nonexistent");
    auto count = [&] {
        size_t tokens = 0;
        for (const auto& segment : context.transcribe(jfk(), "en", ""))
            tokens += segment.words.size();
        return tokens;
    };
    const size_t free = count();
    context.resetTimings();
    context.forceDecodedTokens(40);
    const size_t forced = count();
    EXPECT_GT(context.encoderPassSeconds(), 0);
    // Words join tokens, so fewer words than tokens; far more than the few the random weights
    // write on their own.
    EXPECT_GE(forced, 15u) << "free: " << free;
    EXPECT_GT(forced, free);
}

} // namespace
} // namespace tallyvox

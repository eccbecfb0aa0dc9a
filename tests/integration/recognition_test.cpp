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

} // namespace
} // namespace tallyvox

#include "transcription/WhisperContext.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace tallyvox {
namespace {

std::vector<float> jfk() {
    std::ifstream in(std::string(TALLYVOX_SHARED_DIR) + "/audio/jfk.wav", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t at = bytes.find("data");
    std::uint32_t length = 0;
    std::memcpy(&length, bytes.data() + at + 4, 4);
    std::vector<float> samples(length / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        std::int16_t value;
        std::memcpy(&value, bytes.data() + at + 8 + 2 * i, 2);
        samples[i] = static_cast<float>(value) / 32768.0f;
    }
    return samples;
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

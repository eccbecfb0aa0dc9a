#include "base/Log.h"
#include "fakes/TempDir.h"
#include "transcription/WhisperContext.h"

#include "fakes/TestAudio.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>

namespace tallyvox {
namespace {

using testing::TempDir;

const std::filesystem::path shared(TALLYVOX_SHARED_DIR);
const std::filesystem::path weightless = shared / "models" / "for-tests-ggml-tiny.bin";
const std::filesystem::path silero = shared / "models" / "ggml-silero-v6.2.0.bin";

std::vector<float> jfk() {
    return tallyvox::testing::readPcm16Wav(shared / "audio" / "jfk.wav");
}

WhisperWords::Token token(std::string bytes, std::int64_t t0, std::int64_t t1) {
    return {std::move(bytes), t0, t1};
}

TEST(WhisperWords, JoinContinuationsAndMapTokenTimeOntoTheSegment) {
    auto words = WhisperWords::fromTokens(
        {token(" Hello", 100, 150), token(" wor", 150, 180), token("ld", 180, 200)}, 10.0, 12.0);
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(words[0], (WhisperWord{10.0, 11.0, " Hello"}));
    // The continuation extends the word to its own end.
    EXPECT_EQ(words[1].text, " world");
    EXPECT_DOUBLE_EQ(words[1].start, 11.0);
    EXPECT_DOUBLE_EQ(words[1].end, 12.0);
    // A first token without a space still starts a word.
    EXPECT_EQ(WhisperWords::fromTokens({token("Hi", 0, 10)}, 0, 1).front().text, "Hi");
}

TEST(WhisperWords, TokensWithoutATimeSpanGiveNoWords) {
    EXPECT_TRUE(WhisperWords::fromTokens({}, 0, 1).empty());
    EXPECT_TRUE(WhisperWords::fromTokens({token(" a", 50, 50)}, 0, 1).empty());
    EXPECT_TRUE(WhisperWords::fromTokens({token(" a", 60, 70), token(" b", 40, 50)}, 0, 1).empty());
}

TEST(WhisperWords, ACharacterSplitAcrossTokensIsJoinedAndBrokenBytesRepaired) {
    // "é" is C3 A9; the recogniser may hand out the two bytes in two tokens.
    auto words = WhisperWords::fromTokens({token(" caf\xC3", 0, 10), token("\xA9", 10, 20)}, 0, 1);
    ASSERT_EQ(words.size(), 1u);
    EXPECT_EQ(words[0].text, " caf\xC3\xA9");
    auto broken = WhisperWords::fromTokens({token(" a\xC3", 0, 10)}, 0, 1);
    ASSERT_EQ(broken.size(), 1u);
    EXPECT_EQ(broken[0].text, " a\xEF\xBF\xBD") << "a byte left dangling is repaired";
}

TEST(WhisperContext, ThreadsAreProcessorsMinusTwoBetweenTwoAndSix) {
    EXPECT_EQ(WhisperContext::threadCount(1), 1) << "never more threads than processors";
    EXPECT_EQ(WhisperContext::threadCount(2), 2);
    EXPECT_EQ(WhisperContext::threadCount(4), 2);
    EXPECT_EQ(WhisperContext::threadCount(7), 5);
    EXPECT_EQ(WhisperContext::threadCount(8), 6);
    EXPECT_EQ(WhisperContext::threadCount(64), 6);
}

TEST(WhisperContext, AnUnloadableModelIsALoadErrorForTheUser) {
    TempDir dir;
    std::ofstream(dir / "broken.bin") << "not a model";
    for (auto file : {dir / "missing.bin", dir / "broken.bin"}) {
        try {
            WhisperContext context(WhisperModel::base, file, silero);
            FAIL() << "loaded " << file;
        } catch (const WhisperContext::LoadError& error) {
            EXPECT_STREQ(error.what(),
                         "Couldn't load the Whisper Base model. Try downloading it again.");
            EXPECT_EQ(error.model(), WhisperModel::base);
        }
    }
}

TEST(WhisperContext, ATruncatedVADModelMeansNoSpeechDetection) {
    TempDir dir;
    std::ofstream(dir / "vad.bin") << std::string(799999, 'x');
    Log::Capture log;
    WhisperContext context(WhisperModel::tiny, weightless, dir / "vad.bin");
    EXPECT_FALSE(context.hasVAD());
    EXPECT_EQ(context.speech(std::vector<float>(16000, 0.0f)), std::nullopt);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"VAD model missing; transcribing without speech detection",
                                        "Loaded Whisper for-tests-ggml-tiny.bin, VAD off"}))
        << "a file given by hand is named, not the model it stands in for";
}

TEST(WhisperContext, SpeechIsFoundWhereSpeechIsAndNotInSilenceOrNoise) {
    Log::Capture log;
    WhisperContext context(WhisperModel::tiny, weightless, silero);
    ASSERT_TRUE(context.hasVAD());
    EXPECT_TRUE(log.contains("Loaded Whisper for-tests-ggml-tiny.bin, VAD on"));

    // Two seconds of silence, the speech, then two seconds of silence again.
    auto speech = jfk();
    std::vector<float> padded(32000, 0.0f);
    padded.insert(padded.end(), speech.begin(), speech.end());
    padded.insert(padded.end(), 32000, 0.0f);
    auto ranges = context.speech(padded);
    ASSERT_TRUE(ranges);
    ASSERT_FALSE(ranges->empty());
    double spoken = 0;
    for (const auto& range : *ranges) {
        EXPECT_LT(range.start, range.end);
        EXPECT_GE(range.start, 1.5);
        EXPECT_LE(range.end, 13.5);
        spoken += range.end - range.start;
    }
    EXPECT_GT(spoken, 7.0);
    EXPECT_LT(ranges->front().start, 2.6);

    EXPECT_EQ(context.speech(std::vector<float>(5 * 16000, 0.0f)), std::vector<SpeechRange>{});
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 0.02f);
    std::vector<float> hiss(5 * 16000);
    for (auto& sample : hiss)
        sample = noise(random);
    EXPECT_EQ(context.speech(hiss), std::vector<SpeechRange>{});
}

TEST(WhisperContext, LanguageProbabilitiesForTheListedCodesOnly) {
    WhisperContext context(WhisperModel::tiny, weightless, "/nonexistent");
    auto probabilities = context.languageProbabilities(jfk(), {"en", "hi", "xx"});
    // A code the recogniser does not know is left out rather than looked up.
    ASSERT_EQ(probabilities.size(), 2u);
    for (const auto& [code, probability] : probabilities) {
        EXPECT_TRUE(code == "en" || code == "hi");
        EXPECT_GE(probability, 0.0f);
        EXPECT_LE(probability, 1.0f);
    }
}

TEST(WhisperContext, TheWeightlessModelRecognisesNothing) {
    WhisperContext context(WhisperModel::tiny, weightless, "/nonexistent");
    auto samples = jfk();
    EXPECT_TRUE(context.transcribe(samples, "en", "").empty());
    EXPECT_TRUE(context.transcribe(samples, "auto", "Tallyvox").empty());
}

} // namespace
} // namespace tallyvox

#include "base/Log.h"
#include "base/Utf8.h"
#include "fakes/TempDir.h"
#include "transcription/CpuBackend.h"
#include "transcription/PromptText.h"
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
    // The kernels are loaded, and say so, once per process: before what is compared here.
    CpuBackend::require();
    Log::Capture log;
    WhisperContext context(WhisperModel::tiny, weightless, dir / "vad.bin", false);
    EXPECT_FALSE(context.hasVAD());
    EXPECT_EQ(context.speech(std::vector<float>(16000, 0.0f)), std::nullopt);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"VAD model missing; transcribing without speech detection",
                                        "Loaded Whisper for-tests-ggml-tiny.bin, VAD off, on " +
                                            ComputeDevices::processor().name}))
        << "a file given by hand is named, not the model it stands in for";
}

TEST(WhisperContext, SpeechIsFoundWhereSpeechIsAndNotInSilenceOrNoise) {
    Log::Capture log;
    WhisperContext context(WhisperModel::tiny, weightless, silero, false);
    ASSERT_TRUE(context.hasVAD());
    EXPECT_TRUE(log.contains("Loaded Whisper for-tests-ggml-tiny.bin, VAD on, on " +
                             ComputeDevices::processor().name));
    EXPECT_EQ(context.device(), ComputeDevices::processor().name);

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

bool validUtf8(const std::string& text) {
    return Utf8::repaired(text) == text;
}

// Each kind of run that made the tokenizer recurse once per byte, and a prompt far longer
// than the recogniser reads.
TEST(PromptText, EveryRunAndTheWholeAreBoundedWithoutBreakingACharacter) {
    const std::string ordinary = "Kubernetes, Tallyvox, Ravi Shankar.\nAlso: gRPC. Last line";
    EXPECT_EQ(PromptText::bounded(ordinary), ordinary);
    EXPECT_EQ(PromptText::bounded(""), "");

    std::string euros;
    for (int i = 0; i < 20000; ++i)
        euros += "€"; // three bytes: 64 is no multiple of them
    for (const std::string& run :
         {std::string(60000, 'a'), euros, std::string(60000, '!'), std::string(60000, '7')}) {
        std::string cut = PromptText::bounded("Vox " + run + " end");
        EXPECT_TRUE(cut.starts_with("Vox ") && cut.ends_with(" end")) << cut.substr(0, 80);
        EXPECT_LE(cut.size(), 4 + PromptText::longestRun + 3 + 4);
        EXPECT_TRUE(validUtf8(cut));
    }
    std::string gap = PromptText::bounded("a" + std::string(60000, ' ') + "b");
    // Built by appending: GCC 12 at -O3 warns, wrongly, of overlapping copies in
    // "a" + std::string(n, ' ').
    std::string expectedGap = "a";
    expectedGap.append(PromptText::longestRun, ' ').push_back('b');
    EXPECT_EQ(gap, expectedGap);

    // Many ordinary words: only the end is kept, as the recogniser keeps only the end.
    std::string many;
    for (int i = 0; many.size() < 50000; ++i)
        many += "ü" + std::to_string(i) + " ";
    std::string tail = PromptText::bounded(many);
    EXPECT_LE(tail.size(), PromptText::longestText);
    EXPECT_GT(tail.size(), PromptText::longestText - 4);
    EXPECT_TRUE(many.ends_with(tail));
    EXPECT_TRUE(validUtf8(tail));
}

TEST(PromptText, CharactersAndTheirFirstOnesCountCharactersNotBytes) {
    EXPECT_EQ(PromptText::characters("Zoë €"), 5u);
    EXPECT_EQ(PromptText::firstCharacters("Zoë €uro", 5), "Zoë €");
    EXPECT_EQ(PromptText::firstCharacters("Zoë", 10), "Zoë");
    EXPECT_EQ(PromptText::firstCharacters("", 3), "");
}

// A 60,000-letter vocabulary word overflowed whisper.cpp's tokenizer and ended the process;
// a long prompt is now tokenized bounded and only its last 224 tokens are used.
TEST(WhisperContext, APromptOfAnyLengthIsCutToTheTokensTheRecogniserUses) {
    WhisperContext context(WhisperModel::tiny, weightless, "/nonexistent");
    auto few = context.promptTokens(" hello world");
    ASSERT_TRUE(few);
    EXPECT_FALSE(few->empty());

    std::string words;
    for (int i = 0; i < 2000; ++i)
        words += " hello world";
    auto many = context.promptTokens(words);
    ASSERT_TRUE(many);
    ASSERT_EQ(many->size(), 224u);
    EXPECT_TRUE(std::equal(few->rbegin(), few->rend(), many->rbegin()))
        << "the end of the prompt is what is kept";

    auto giant = context.promptTokens("Vox " + std::string(100000, 'a'));
    ASSERT_TRUE(giant);
    EXPECT_LE(giant->size(), 224u);

    std::vector<float> samples(2 * 16000, 0.0f);
    EXPECT_TRUE(
        context.transcribe(samples, "en", "Vox " + std::string(100000, 'a') + " Tallyvox").empty());
}

} // namespace
} // namespace tallyvox

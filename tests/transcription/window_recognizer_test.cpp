#include "transcription/WindowRecognizer.h"

#include "base/Error.h"
#include "base/Log.h"
#include "fakes/ScriptedRecognizer.h"
#include "transcription/PromptText.h"

#include <gtest/gtest.h>

namespace tallyvox {
namespace {

using testing::makeSegment;
using testing::RecognizerScript;
using testing::ScriptedRecognizer;

class WindowRecognizerTest : public ::testing::Test {
protected:
    WindowRecognizerTest() {
        options.language = "en+hi";
        options.vocabulary = "Vox";
        language = {.spoken = "hi", .text = "hi"};
    }

    std::vector<WhisperSegment> recognise(bool behind) {
        WindowRecognizer recognizer(std::make_unique<ScriptedRecognizer>(script), options);
        return recognizer.recognise({.audio = audio,
                                     .speech = speech,
                                     .lastLine = "Namaste sabko.",
                                     .behind = behind,
                                     .channel = "meeting audio"},
                                    language, stats);
    }

    std::shared_ptr<RecognizerScript> script = std::make_shared<RecognizerScript>();
    EngineOptions options;
    std::vector<float> audio = std::vector<float>(10 * 16000, 0.1f);
    std::optional<std::vector<SpeechRange>> speech = std::vector<SpeechRange>{{0, 10}};
    WindowRecognizer::ChannelLanguage language;
    EngineStats stats;
};

// Far behind, a channel of several languages goes on in the one it speaks, with its context,
// and asks nothing about languages; caught up, it asks for each piece.
TEST_F(WindowRecognizerTest, FarBehindKeepsTheChannelsLanguageWithoutDetection) {
    script->setLanguages([](std::span<const float>) {
        return std::map<std::string, float>{{"en", 0.9f}, {"hi", 0.1f}};
    });
    recognise(true);
    EXPECT_TRUE(script->languageCalls().empty());
    ASSERT_EQ(script->transcribeCalls().size(), 1u);
    EXPECT_EQ(script->transcribeCalls()[0].language, "hi");
    EXPECT_EQ(script->transcribeCalls()[0].prompt, "Vox Namaste sabko.");
    EXPECT_EQ(stats.languageSwitches, 0);

    recognise(false);
    EXPECT_EQ(script->languageCalls().size(), 2u);
    EXPECT_EQ(script->transcribeCalls().back().language, "en");
    EXPECT_EQ(script->transcribeCalls().back().prompt, "Vox") << "a new language starts afresh";
    EXPECT_EQ(language.spoken, "en");
    EXPECT_EQ(language.text, "en");
    EXPECT_EQ(stats.languageSwitches, 1);
}

// A hole of a channel of several languages is heard in the language it speaks now, with
// only the vocabulary as prompt, and sorted in by time.
TEST_F(WindowRecognizerTest, HoleIsHeardInTheChannelsLanguage) {
    script->pushSegments({makeSegment(0, 2, "Namaste."), makeSegment(6, 9, "Phir milenge.")});
    script->pushSegments({makeSegment(0.5, 2, "Naye shabd.")});
    auto lines = recognise(false);
    auto calls = script->transcribeCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].language, "hi");
    EXPECT_EQ(calls[1].prompt, "Vox");
    EXPECT_EQ(calls[1].samples, 4 * 16000u);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].text, "Naye shabd.");
    EXPECT_DOUBLE_EQ(lines[1].start, 2.5);
    EXPECT_EQ(stats.holesFilled, 1);
}

// A recogniser that fails on the prompt still hears the window: without the prompt, said once
// for the channel rather than for every window.
TEST_F(WindowRecognizerTest, AWindowWhosePromptFailsIsHeardWithoutIt) {
    options.language = "en";
    speech = std::nullopt;
    script->setSegments([](std::span<const float>, const std::string&, const std::string& prompt) {
        if (!prompt.empty())
            throw Error("prompt refused");
        return std::vector<WhisperSegment>{makeSegment(0, 2, "Heard anyway.")};
    });
    Log::Capture log;
    WindowRecognizer recognizer(std::make_unique<ScriptedRecognizer>(script), options);
    auto window = [&] {
        return recognizer.recognise(
            {.audio = audio, .speech = speech, .lastLine = "Hello.", .channel = "meeting audio"},
            language, stats);
    };
    auto first = window();
    auto second = window();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].text, "Heard anyway.");
    EXPECT_EQ(second.size(), 1u);
    int said = 0;
    for (const auto& text : log.texts())
        said += text.find("prompt refused") != std::string::npos;
    EXPECT_EQ(said, 1) << "once per recogniser, not per window";
}

// A vocabulary stored before it had a limit reaches the recogniser bounded.
TEST_F(WindowRecognizerTest, AGiantVocabularyReachesTheRecogniserBounded) {
    options.language = "en";
    options.vocabulary = std::string(60000, 'a') + " Vox";
    speech = std::nullopt;
    recognise(false);
    ASSERT_EQ(script->transcribeCalls().size(), 1u);
    const auto prompt = script->transcribeCalls()[0].prompt;
    EXPECT_EQ(prompt, std::string(PromptText::longestRun, 'a') + " Vox Namaste sabko.");
}

} // namespace
} // namespace tallyvox

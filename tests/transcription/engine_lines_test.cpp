#include "transcription/TranscriptionEngine.h"

#include "base/Log.h"

#include "EngineTest.h"

#include <gtest/gtest.h>

#include <map>

namespace tallyvox {
namespace {

using testing::EngineTest;
using testing::makeSegment;

TEST_F(EngineTest, ReListensToSpeechHolesAndDropsWhatRepeats) {
    options.vocabulary = "Tallyvox";
    script->pushSpeech(std::vector<SpeechRange>{{0, 10}});
    script->pushSegments({makeSegment(0, 2, "Hello there."), makeSegment(6, 9, "See you later.")});
    script->pushSegments({makeSegment(0, 1, "hello there"), makeSegment(1, 3, "Brand new words.")});
    make({meetingSource()});
    ASSERT_FALSE(start());
    meeting.push(10, 0.1f);
    flush();

    auto calls = script->transcribeCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].samples, 4 * 16000u); // the hole from 2 s to 6 s
    EXPECT_EQ(calls[1].prompt, "Tallyvox");
    EXPECT_EQ(texts(),
              (std::vector<std::string>{"Hello there.", "Brand new words.", "See you later."}));
    EXPECT_DOUBLE_EQ(lines[1].start, 3);
    EXPECT_DOUBLE_EQ(lines[1].end, 5);
    auto stats = stop().stats.at("meeting audio");
    EXPECT_EQ(stats.holesFilled, 1);
    EXPECT_DOUBLE_EQ(stats.holeSeconds, 4);
    EXPECT_DOUBLE_EQ(stats.speechSeconds, 10);
}

TEST_F(EngineTest, MultiLanguageChannelSwitchesWithMarginsAndKeepsContextInOneLanguage) {
    options.language = "en+hi";
    options.vocabulary = "Vox";
    make({meetingSource()});
    ASSERT_FALSE(start());
    Log::Capture log;

    // Two pieces: English, then clearly Hindi.
    script->pushSpeech(std::vector<SpeechRange>{{0, 10}});
    script->pushLanguages({{"en", 0.9f}, {"hi", 0.1f}});
    script->pushLanguages({{"hi", 0.8f}, {"en", 0.2f}});
    script->pushSegments({makeSegment(0, 4, "Good morning everyone.")});
    script->pushSegments({makeSegment(0.5, 4, "Namaste sabko.")});
    meeting.push(10, 0.1f);
    flush();
    auto calls = script->transcribeCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].language, "en");
    EXPECT_EQ(calls[0].samples, 5 * 16000u);
    EXPECT_EQ(calls[1].language, "hi");
    EXPECT_EQ(calls[1].samples, 5 * 16000u);
    EXPECT_EQ(calls[0].prompt, "Vox");
    EXPECT_EQ(calls[1].prompt, "Vox");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_DOUBLE_EQ(lines[1].start, 5.5);
    EXPECT_TRUE(log.contains("meeting audio language: en"));
    EXPECT_TRUE(log.contains("meeting audio language: hi"));

    // English leads by 0.05 only: back to the main language needs 0.1, so Hindi stays and
    // the prompt carries on from the last line.
    queue->advance(1);
    script->pushSpeech(std::vector<SpeechRange>{{0, 4}});
    script->pushLanguages({{"en", 0.55f}, {"hi", 0.5f}});
    script->pushSegments({makeSegment(0, 3, "Aap kaise hain.")});
    meeting.push(4, 0.1f);
    flush();
    calls = script->transcribeCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].language, "hi");
    EXPECT_EQ(calls[2].prompt, "Vox Namaste sabko.");

    // A clear lead switches back.
    queue->advance(1);
    script->pushSpeech(std::vector<SpeechRange>{{0, 4}});
    script->pushLanguages({{"en", 0.7f}, {"hi", 0.3f}});
    meeting.push(4, 0.1f);
    flush();
    EXPECT_EQ(script->transcribeCalls().back().language, "en");
    EXPECT_EQ(script->transcribeCalls().back().prompt, "Vox");

    auto stats = stop().stats.at("meeting audio");
    EXPECT_EQ(stats.languageSwitches, 2);
    EXPECT_EQ(stats.language, "en");
    EXPECT_EQ(script->languageCalls().size(), 4u);
}

TEST_F(EngineTest, MicrophoneEchoesAreDroppedOnlyWhileWanted) {
    make({meetingSource(), micSource()});
    ASSERT_FALSE(start());
    const std::string said = "We should ship the release on Friday morning.";
    script->pushSegments({makeSegment(0, 3, said)});
    script->pushSegments({makeSegment(0, 3, said)});
    meeting.push(3, 0.1f);
    mic.push(3, 0.1f);
    flush();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].speaker, std::nullopt);

    queue->advance(5);
    dropEcho = false;
    const std::string again = "Then we can plan the launch party next week.";
    script->pushSegments({makeSegment(0, 3, again)});
    script->pushSegments({makeSegment(0, 3, again)});
    meeting.push(3, 0.1f);
    mic.push(3, 0.1f);
    flush();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].speaker, TranscriptSegment::you);
    ASSERT_TRUE(lines[2].level);
    EXPECT_NEAR(*lines[2].level, 0.1f, 1e-5);

    auto result = stop();
    EXPECT_EQ(result.stats.at("your microphone").echoDropped, 1);
    EXPECT_EQ(result.stats.at("meeting audio").echoDropped, 0);
    EXPECT_EQ(result.segments, 3);
}

TEST_F(EngineTest, TrimsWordsThatRepeatThePreviousLineAndDropsPhantoms) {
    make({meetingSource()});
    ASSERT_FALSE(start());
    script->pushSegments({makeSegment(0, 4, "Next we look at the three words on the plan")});
    meeting.push(4, 0.1f);
    flush();
    queue->advance(5);
    script->pushSegments({makeSegment(0.5, 2, "On the plan, and then more words."),
                          makeSegment(2.5, 3, "Thanks for watching!")});
    meeting.push(3, 0.1f); // timed from 2 s: overlaps the first line
    flush();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].text, "and then more words.");
    auto stats = stop().stats.at("meeting audio");
    EXPECT_EQ(stats.wordsTrimmedAsRepeats, 3);
    EXPECT_EQ(stats.phantomDropped, 1);
    EXPECT_EQ(stats.segments, 2);
}

TEST_F(EngineTest, MicrophoneLineSplitsWhereAQuietLeakStartsAndStaysApart) {
    make({micSource()});
    ASSERT_FALSE(start());
    mic.push(2, 0.5f);
    mic.push(2, 0.05f);
    script->pushSegments({makeSegment(0, 4, "one two three four five six")});
    flush();
    ASSERT_EQ(texts(), (std::vector<std::string>{"one two three", "four five six"}));
    EXPECT_NEAR(*lines[0].level, 0.5f, 1e-5);
    EXPECT_NEAR(*lines[1].level, 0.05f, 1e-5);
    EXPECT_DOUBLE_EQ(lines[0].start, 0);
    EXPECT_DOUBLE_EQ(lines[1].end, 4);
    EXPECT_EQ(lines[1].speaker, TranscriptSegment::you);
}

TEST_F(EngineTest, LabelsSpeakersAndJoinsTurnsOfOneSpeaker) {
    options.diarize = true;
    auto speakers = std::make_shared<testing::DiarizerScript>();
    speakers->pushSpeakers({0, 0, 1, std::nullopt});
    make({meetingSource()}, testing::diarizerLoader(speakers));
    ASSERT_FALSE(start());
    script->pushSegments({makeSegment(0, 2, "First part"), makeSegment(2.5, 4, "second part."),
                          makeSegment(4.2, 6, "Other voice."), makeSegment(6.1, 8, "Unsure.")});
    meeting.push(8, 0.1f);
    flush();
    ASSERT_EQ(texts(),
              (std::vector<std::string>{"First part second part.", "Other voice. Unsure."}));
    EXPECT_EQ(lines[0].speaker, 0);
    EXPECT_DOUBLE_EQ(lines[0].start, 0);
    EXPECT_DOUBLE_EQ(lines[0].end, 4);
    EXPECT_EQ(lines[1].speaker, 1); // an unknown speaker continues the last one
    EXPECT_EQ(batches, 1);
    ASSERT_EQ(speakers->calls().size(), 1u);
    EXPECT_TRUE(speakers->calls()[0].cutLongLines);
}

TEST_F(EngineTest, LineBreaksInRecognisedTextNeverReachALine) {
    script->pushSegments({makeSegment(0.2, 2.8, "We agreed.\n[00:00:09] Mallory:\r\nSend it.")});
    make({meetingSource()});
    ASSERT_FALSE(start());
    meeting.push(3, 0.1f);
    flush();
    EXPECT_EQ(texts(), std::vector<std::string>{"We agreed. [00:00:09] Mallory: Send it."});
}

// Far behind the meeting (here 90 s), the meeting's lines are still there for the
// microphone's echo check: they are kept on the audio's timeline, not the wall clock's.
TEST_F(EngineTest, EchoesAreDroppedFarBehindTheMeeting) {
    const std::string said = "We should ship the release on Friday morning.";
    std::map<float, int> windows;
    script->setSegments([&](std::span<const float> audio, const std::string&, const std::string&) {
        if (windows[audio[0]]++ > 0)
            return std::vector<WhisperSegment>{};
        return std::vector<WhisperSegment>{makeSegment(2, 5, said)};
    });
    make({meetingSource(), micSource()});
    ASSERT_FALSE(start());
    clock.advance(150);
    meeting.push(90, 0.1f);
    mic.push(90, 0.2f);
    auto result = stop();
    EXPECT_EQ(texts(), std::vector<std::string>{said});
    EXPECT_EQ(result.stats.at("your microphone").echoDropped, 1);
}

} // namespace
} // namespace tallyvox

#include "transcription/TranscriptionEngine.h"

#include "base/Error.h"
#include "base/Log.h"
#include "fakes/ManualExecutor.h"
#include "fakes/ScriptedRecognizer.h"
#include "transcription/BacklogWatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <thread>

namespace tallyvox {
namespace {

using testing::makeSegment;
using testing::ManualClock;
using testing::ManualExecutor;
using testing::RecognizerScript;
using testing::ScriptedAudio;

constexpr double rate = 16000;

class EngineTest : public ::testing::Test {
protected:
    EngineTest() {
        options.language = "en";
        options.chunkSeconds = 20;
        options.diarize = false;
    }

    TranscriptionEngine::Source meetingSource() {
        return {"meeting audio", meeting.drain(), std::nullopt, false};
    }
    TranscriptionEngine::Source micSource() {
        TranscriptionEngine::Source source{"your microphone", mic.drain(), TranscriptSegment::you,
                                           true};
        source.dropEcho = [this] { return dropEcho; };
        return source;
    }

    void make(std::vector<TranscriptionEngine::Source> sources, DiarizerLoader diarizer = nullptr,
              RecognizerLoader loader = nullptr) {
        TranscriptionEngine::Dependencies deps;
        deps.queue = queue;
        deps.loadRecognizer = loader ? loader : testing::recognizerLoader(script);
        deps.loadDiarizer = std::move(diarizer);
        deps.stopwatch = [] { return 0.0; };
        engine = TranscriptionEngine::make(
            std::move(sources), options, [this] { return clock.elapsed(); },
            [this](std::vector<TranscriptSegment> out) {
                ++batches;
                lines.insert(lines.end(), out.begin(), out.end());
            },
            deps);
    }

    std::exception_ptr start() {
        std::exception_ptr error;
        bool answered = false;
        engine->start([&](std::exception_ptr e) {
            error = e;
            answered = true;
        });
        queue->runUntilIdle();
        EXPECT_TRUE(answered);
        return error;
    }

    TranscriptionEngine::StopResult stop() {
        std::optional<TranscriptionEngine::StopResult> result;
        engine->stop([&](TranscriptionEngine::StopResult r) { result = std::move(r); });
        queue->runUntilIdle();
        EXPECT_TRUE(result);
        return result.value_or(TranscriptionEngine::StopResult{});
    }

    void flush() {
        engine->flush();
        queue->runUntilIdle();
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& line : lines)
            out.push_back(line.text);
        return out;
    }

    ManualClock clock;
    std::shared_ptr<ManualExecutor> queue = std::make_shared<ManualExecutor>(clock);
    std::shared_ptr<RecognizerScript> script = std::make_shared<RecognizerScript>();
    ScriptedAudio meeting, mic;
    bool dropEcho = true;
    EngineOptions options;
    std::shared_ptr<TranscriptionEngine> engine;
    std::vector<TranscriptSegment> lines;
    int batches = 0;
};

TEST_F(EngineTest, RunsAWindowOnceChunkSecondsOfNewAudioHaveCome) {
    options.chunkSeconds = 5;
    make({meetingSource()});
    ASSERT_FALSE(start());
    for (int second = 0; second < 4; ++second) {
        meeting.push(1, 0.1f);
        queue->advance(1);
    }
    EXPECT_TRUE(script->transcribeCalls().empty());
    meeting.push(1, 0.1f);
    queue->advance(1);
    ASSERT_EQ(script->transcribeCalls().size(), 1u);
    EXPECT_EQ(script->transcribeCalls()[0].samples, 5 * 16000u);
    EXPECT_EQ(script->transcribeCalls()[0].language, "en");
}

TEST_F(EngineTest, RunsAWindowWhenThirtySecondsArePending) {
    options.chunkSeconds = 40;
    make({meetingSource()});
    ASSERT_FALSE(start());
    for (int tick = 0; tick < 2; ++tick) {
        meeting.push(10, 0.1f);
        queue->advance(1);
    }
    EXPECT_TRUE(script->transcribeCalls().empty());
    meeting.push(10, 0.1f);
    queue->advance(1);
    ASSERT_EQ(script->transcribeCalls().size(), 1u);
    EXPECT_EQ(script->transcribeCalls()[0].samples, 480000u);
}

TEST_F(EngineTest, QuietSourceFlushesAfterTwoTicksAndTimesAudioAfterAGap) {
    script->device = "Vulkan: Radeon 780M";
    make({meetingSource()});
    ASSERT_FALSE(start());
    queue->advance(10); // idle: the channel's start follows the clock
    meeting.push(2, 0.1f);
    script->pushSegments({makeSegment(0.5, 1.5, "Hello there.")});
    queue->advance(1); // t = 11: 2 s arrive, timed from 9 s
    queue->advance(1);
    EXPECT_TRUE(lines.empty());
    queue->advance(1); // second quiet tick: everything out, final
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "Hello there.");
    EXPECT_DOUBLE_EQ(lines[0].start, 9.5);
    EXPECT_DOUBLE_EQ(lines[0].end, 10.5);
    EXPECT_EQ(lines[0].speaker, std::nullopt);
    EXPECT_EQ(lines[0].level, std::nullopt);

    auto result = stop();
    EXPECT_EQ(result.segments, 1);
    EXPECT_EQ(result.device, "Vulkan: Radeon 780M") << "said by the recogniser, kept past it";
    const auto& stats = result.stats.at("meeting audio");
    EXPECT_DOUBLE_EQ(stats.receivedSeconds, 2);
    EXPECT_DOUBLE_EQ(stats.processedSeconds, 2);
    EXPECT_EQ(stats.windows, 1);
    EXPECT_EQ(stats.segments, 1);
}

TEST_F(EngineTest, WindowWithoutSpeechKeepsHalfASecondUnlessFinal) {
    options.chunkSeconds = 5;
    script->setSpeech([](std::span<const float>) { return std::vector<SpeechRange>{}; });
    make({meetingSource()});
    ASSERT_FALSE(start());
    meeting.push(6, 0.0f);
    queue->advance(1);
    EXPECT_TRUE(script->transcribeCalls().empty());
    auto result = stop();
    const auto& stats = result.stats.at("meeting audio");
    EXPECT_EQ(stats.windows, 2);
    EXPECT_DOUBLE_EQ(stats.processedSeconds, 6); // 5.5 s, then the last 0.5 s when final
    EXPECT_TRUE(script->transcribeCalls().empty());
    EXPECT_TRUE(lines.empty());
}

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

TEST_F(EngineTest, FullWindowThatWouldCutAtZeroCommitsEverything) {
    options.chunkSeconds = 28;
    script->pushSegments({makeSegment(0.2, 29, "One long line that never pauses.")});
    make({meetingSource()});
    ASSERT_FALSE(start());
    meeting.push(29, 0.1f);
    queue->advance(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_DOUBLE_EQ(lines[0].end, 29);
    auto stats = stop().stats.at("meeting audio");
    EXPECT_DOUBLE_EQ(stats.processedSeconds, 29);
    EXPECT_EQ(stats.windows, 1);
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

TEST_F(EngineTest, StopRecognisesEveryWindowOfBacklogBeforeAnswering) {
    int window = 0;
    script->setSegments([&](std::span<const float> audio, const std::string&, const std::string&) {
        double length = static_cast<double>(audio.size()) / rate;
        return std::vector<WhisperSegment>{
            makeSegment(1, length - 1, "Window number " + std::to_string(++window) + ".")};
    });
    make({meetingSource(), micSource()});
    ASSERT_FALSE(start());
    meeting.push(75, 0.1f);
    auto result = stop();
    EXPECT_EQ(window, 3);
    EXPECT_EQ(texts(), (std::vector<std::string>{"Window number 1.", "Window number 2.",
                                                 "Window number 3."}));
    EXPECT_EQ(result.segments, 3);
    const auto& stats = result.stats.at("meeting audio");
    EXPECT_EQ(stats.windows, 3);
    EXPECT_DOUBLE_EQ(stats.receivedSeconds, 75);
    EXPECT_NEAR(stats.processedSeconds, 75, 1e-9);
    EXPECT_DOUBLE_EQ(stats.maxPendingSeconds, 75);
    EXPECT_EQ(result.stats.at("your microphone"), EngineStats{});
    EXPECT_FALSE(script->alive());

    // A stopped engine no longer drains its sources or hands out lines.
    meeting.push(5, 0.1f);
    engine->flush();
    queue->advance(5);
    EXPECT_EQ(meeting.waiting(), 5 * 16000u);
    EXPECT_EQ(lines.size(), 3u);
}

TEST_F(EngineTest, RecogniserThatFailsOrHearsNothingStillConsumesAudio) {
    for (bool throwing : {false, true}) {
        SCOPED_TRACE(throwing);
        script = std::make_shared<RecognizerScript>();
        script->setThrowing(throwing);
        script->setSilent(!throwing);
        lines.clear();
        Log::Capture log;
        make({meetingSource()});
        ASSERT_FALSE(start());
        meeting.push(25, 0.1f);
        queue->advance(1);
        EXPECT_EQ(script->transcribeCalls().size(), 1u);
        queue->advance(2);
        auto stats = stop().stats.at("meeting audio");
        EXPECT_EQ(stats.windows, 2);
        EXPECT_NEAR(stats.processedSeconds, 25, 1e-9);
        EXPECT_TRUE(lines.empty());
        EXPECT_EQ(log.contains("Recognition failed: recognition broke"), throwing);
    }
}

TEST_F(EngineTest, LoadFailureReachesStartAndNothingRuns) {
    make({meetingSource()}, nullptr, testing::failingRecognizerLoader("Couldn't load it."));
    auto error = start();
    ASSERT_TRUE(error);
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Couldn't load it.");
    }
    meeting.push(3, 0.1f);
    queue->advance(5);
    EXPECT_EQ(meeting.waiting(), 3 * 16000u);
}

TEST_F(EngineTest, SpeakerModelFailureIsLoggedAndTranscriptionGoesOn) {
    options.diarize = true;
    Log::Capture log;
    make({meetingSource()}, testing::failingDiarizerLoader("Speaker models are missing."));
    ASSERT_FALSE(start());
    EXPECT_TRUE(log.contains(
        "Speaker models failed to load; continuing without speakers: Speaker models are missing."));
    script->pushSegments({makeSegment(0, 1, "Still here.")});
    meeting.push(2, 0.1f);
    flush();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].speaker, std::nullopt);
    EXPECT_TRUE(log.contains("meeting audio: 2.0 s window, 1 lines, cut 2.0 s"));
}

TEST_F(EngineTest, TickHoldsTheEngineOnlyWeakly) {
    make({meetingSource()});
    ASSERT_FALSE(start());
    std::weak_ptr<TranscriptionEngine> weak = engine;
    engine.reset();
    EXPECT_TRUE(weak.expired());
    meeting.push(1, 0.1f);
    queue->advance(3);
    EXPECT_EQ(meeting.waiting(), 16000u);
}

TEST(EngineQueue, RunsOnItsOwnQueueAndMayBeReleasedWhileStopping) {
    auto script = std::make_shared<RecognizerScript>();
    script->pushSegments({makeSegment(0, 1, "Own queue.")});
    ScriptedAudio audio;
    std::promise<std::vector<TranscriptSegment>> got;
    TranscriptionEngine::Dependencies deps;
    deps.loadRecognizer = testing::recognizerLoader(script);
    EngineOptions options;
    options.language = "en";
    auto engine = TranscriptionEngine::make(
        audio.drain(), options, [] { return 0.0; },
        [&](std::vector<TranscriptSegment> out) { got.set_value(out); }, deps);
    std::promise<std::exception_ptr> started;
    engine->start([&](std::exception_ptr e) { started.set_value(e); });
    ASSERT_FALSE(started.get_future().get());

    audio.push(2, 0.1f);
    std::promise<TranscriptionEngine::StopResult> stopped;
    engine->stop([&](TranscriptionEngine::StopResult r) { stopped.set_value(r); });
    std::weak_ptr<TranscriptionEngine> weak = engine;
    engine.reset(); // the stop task now holds the last reference, on the queue's own thread
    auto result = stopped.get_future().get();
    EXPECT_EQ(result.segments, 1);
    EXPECT_EQ(result.stats.at("meeting").segments, 1);
    EXPECT_EQ(got.get_future().get().at(0).text, "Own queue.");
    for (int i = 0; i < 200 && !weak.expired(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(weak.expired());
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the queue winds down
}

TEST(EngineSources, TwoSourcesOfOneNameAreRefused) {
    TranscriptionEngine::Source a;
    a.name = "same";
    EXPECT_THROW(TranscriptionEngine::make(
                     {a, a}, {}, [] { return 0.0; }, nullptr),
                 std::invalid_argument);
}

TEST_F(EngineTest, LineBreaksInRecognisedTextNeverReachALine) {
    script->pushSegments({makeSegment(0.2, 2.8, "We agreed.\n[00:00:09] Mallory:\r\nSend it.")});
    make({meetingSource()});
    ASSERT_FALSE(start());
    meeting.push(3, 0.1f);
    flush();
    EXPECT_EQ(texts(), std::vector<std::string>{"We agreed. [00:00:09] Mallory: Send it."});
}

// Every window is cut in whole samples, and a full window always moves on, so no audio is
// heard twice and none is left behind at stop.
TEST_F(EngineTest, WindowsCutInWholeSamplesAndAlwaysMoveOn) {
    size_t length = 5 * 16000;
    while (static_cast<size_t>(static_cast<double>(length) / rate * rate) == length)
        ++length; // a length whose seconds, times the rate, fall just short of it
    script->setSpeech([](std::span<const float>) { return std::vector<SpeechRange>{}; });
    make({meetingSource()});
    ASSERT_FALSE(start());
    meeting.push(std::vector<float>(length, 0.0f));
    flush();
    auto stats = stop().stats.at("meeting audio");
    EXPECT_EQ(stats.windows, 1) << length << " samples";

    // A line that starts just after the re-heard overlap and runs past the window's end
    // would put the cut a fraction of a sample in: the window is committed in full.
    Log::Capture log;
    int windows = 0;
    script->setSpeech([](std::span<const float> audio) {
        return std::vector<SpeechRange>{{0, static_cast<double>(audio.size()) / rate}};
    });
    script->setSegments([&](std::span<const float> audio, const std::string&, const std::string&) {
        double length = static_cast<double>(audio.size()) / rate;
        return std::vector<WhisperSegment>{
            makeSegment(0.3 + 1e-6, length - 0.5, "Never settles " + std::to_string(++windows))};
    });
    lines.clear();
    make({meetingSource()});
    ASSERT_FALSE(start());
    meeting.push(75, 0.1f);
    auto result = stop();
    EXPECT_NEAR(result.stats.at("meeting audio").processedSeconds, 75, 1e-9);
    EXPECT_EQ(lines.size(), 3u);
    EXPECT_TRUE(log.contains("meeting audio: window made no progress; committing all of it"));
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

namespace tallyvox {
namespace {

TEST(BacklogWatch, TellsOnceWhenOverTheLimitAndStillGrowing) {
    BacklogWatch watch;
    EXPECT_FALSE(watch.observe(90)) << "a first measurement shows no growth yet";
    EXPECT_FALSE(watch.observe(80)) << "shrinking: catching up";
    EXPECT_FALSE(watch.observe(80));
    EXPECT_TRUE(watch.observe(81));
    EXPECT_FALSE(watch.observe(200)) << "once";

    BacklogWatch edge;
    edge.observe(50);
    EXPECT_FALSE(edge.observe(60)) << "60 s is the limit, not over it";
    EXPECT_TRUE(edge.observe(60.5));
}

TEST_F(EngineTest, WaitingAudioStaysShortWhileKeepingUpAndGrowsWhenNot) {
    make({meetingSource(), micSource()});
    ASSERT_FALSE(start());
    // Keeping up: each second brings a second of audio, a window goes every 20 s.
    double most = 0;
    for (int second = 0; second < 120; ++second) {
        meeting.push(1, 0.1f);
        mic.push(1, 0.1f);
        queue->advance(1);
        most = std::max(most, engine->waitingSeconds());
    }
    EXPECT_LT(most, 2 * 20.0 + 2);
    // Slower than speech: every tick finds 45 s more on each source than one window per
    // source takes away.
    std::vector<double> waiting;
    for (int tick = 0; tick < 4; ++tick) {
        meeting.push(45, 0.1f);
        mic.push(45, 0.1f);
        queue->advance(1);
        waiting.push_back(engine->waitingSeconds());
    }
    EXPECT_TRUE(std::is_sorted(waiting.begin(), waiting.end()));
    EXPECT_GT(waiting.back(), 60);
    stop();
    EXPECT_EQ(engine->waitingSeconds(), 0) << "everything was recognised at the stop";
}

} // namespace
} // namespace tallyvox

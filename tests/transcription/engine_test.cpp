#include "transcription/TranscriptionEngine.h"

#include "base/Error.h"
#include "base/Log.h"
#include "fakes/ManualExecutor.h"
#include "fakes/ScriptedRecognizer.h"
#include "transcription/BacklogWatch.h"

#include "EngineTest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

namespace tallyvox {
namespace {

using testing::EngineTest;
using testing::makeSegment;
using testing::ManualExecutor;
using testing::RecognizerScript;
using testing::ScriptedAudio;

constexpr double rate = 16000;

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

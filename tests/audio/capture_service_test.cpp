#include "audio/MicCapture.h"
#include "audio/TapCapture.h"
#include "base/Log.h"
#include "fakes/ManualExecutor.h"

#include <gtest/gtest.h>

#include <set>

namespace tallyvox {
namespace {

using testing::ManualClock;
using testing::ManualExecutor;

// A stream source a test drives: what a build answers and the handlers it was given.
// Builds finish at once unless `hung` (a sound server that does not answer).
class FakeTap : public OutputTap {
public:
    void open(std::optional<std::uint32_t> output, Handlers h) override {
        ++opens;
        asked = output;
        handlers = std::move(h);
        isOpen = true;
        if (!hung)
            finishBuild();
    }
    void finishBuild() {
        if (failures > 0) {
            --failures;
            isOpen = false;
            handlers.failed("Audio capture failed (connect to sound server, error 6).");
            return;
        }
        const bool exists = asked && outputs.count(*asked);
        handlers.opened({format, exists ? *asked : defaultOutput});
    }
    void close() override { isOpen = false; }
    bool isPlaying() override { return playing; }
    void play(double seconds, float level = 0.3f) {
        auto frames = static_cast<std::size_t>(format.sampleRate * seconds);
        handlers.audio(
            std::vector<float>(frames * static_cast<std::size_t>(format.channels), level));
    }

    StreamFormat format{48000, 2};
    std::set<std::uint32_t> outputs{1, 2};
    std::uint32_t defaultOutput = 1;
    std::optional<std::uint32_t> asked;
    Handlers handlers;
    int opens = 0;
    int failures = 0;
    bool hung = false;
    bool isOpen = false;
    bool playing = true;
};

class CaptureServiceTest : public ::testing::Test {
protected:
    ManualClock clock;
    ManualExecutor main{clock};
    // The capture queue, run by the test.
    ManualExecutor queue{clock};
    std::shared_ptr<FakeTap> tap = std::make_shared<FakeTap>();
    std::shared_ptr<TapCapture> capture =
        TapCapture::make(tap, main, std::shared_ptr<Executor>(&queue, [](Executor*) {}), clock);
    Log::Capture log;
    std::vector<std::string> failures;

    void SetUp() override {
        capture->onFailure = [this](const Error& e) { failures.push_back(e.what()); };
    }
    ConsentRecord consent() {
        ConsentRecord c;
        c.meetingID = "Zoom-42";
        return c;
    }
    void start() {
        capture->start(consent());
        main.runUntilIdle();
    }
    // Plays one buffer every 20 ms for `seconds`.
    void playFor(double seconds) {
        for (double t = 0; t < seconds - 1e-9; t += 0.02) {
            tap->play(0.02);
            main.advance(0.02);
            queue.runUntilIdle();
        }
    }
};

TEST_F(CaptureServiceTest, StartConvertsTheStreamAndStopReleasesEverything) {
    start();
    EXPECT_TRUE(log.contains("Capture started for Zoom-42"));
    EXPECT_EQ(capture->stats().format, "48000 Hz, 2 ch");
    playFor(1);
    auto samples = capture->drain();
    EXPECT_NEAR(static_cast<double>(samples.size()), 16000, 1000);
    EXPECT_GT(capture->stats().receivedSeconds, 0.9);

    capture->pause();
    EXPECT_FALSE(tap->isOpen);
    capture->resume();
    EXPECT_TRUE(tap->isOpen);
    EXPECT_EQ(tap->opens, 2);

    // Buffers still waiting for the capture queue when the owner stops are released too.
    tap->play(0.5);
    capture->stop();
    queue.runUntilIdle();
    EXPECT_FALSE(tap->isOpen);
    EXPECT_TRUE(capture->drain().empty());
    EXPECT_EQ(capture->stats(), CaptureStats());
    EXPECT_TRUE(log.contains("Capture stopped; audio released"));
    main.advance(30);
    EXPECT_EQ(tap->opens, 2); // no watchdog after stop
}

// The sound server hangs: start() returns at once, the watchdog leaves the pending build
// alone, and its failure reaches the owner once it comes.
TEST_F(CaptureServiceTest, StreamIsBuiltWithoutWaitingAndAFailedBuildIsReported) {
    tap->hung = true;
    capture->start(consent());
    EXPECT_TRUE(capture->isStarting());
    main.advance(30);
    EXPECT_EQ(tap->opens, 1);
    EXPECT_TRUE(failures.empty());

    tap->failures = 1;
    tap->finishBuild();
    main.runUntilIdle();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0], "Audio capture failed (connect to sound server, error 6).");
    EXPECT_FALSE(capture->isStarting());

    tap->hung = false;
    tap->format = {0, 2};
    capture->resume();
    main.runUntilIdle();
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[1], "Unsupported audio format from the meeting app.");
    EXPECT_FALSE(tap->isOpen);
}

// The meeting plays to a headset while the default output stays the speakers.
TEST_F(CaptureServiceTest, RecordsTheOutputTheMeetingPlaysToAndFollowsItsMoves) {
    std::optional<std::uint32_t> meetingOutput;
    capture->meetingOutput = [&] { return meetingOutput; };
    start();
    EXPECT_EQ(tap->asked, std::nullopt); // nothing plays yet: the default output
    playFor(1);

    meetingOutput = 2;
    main.advance(1);
    EXPECT_EQ(tap->opens, 2);
    EXPECT_EQ(tap->asked, 2u);
    EXPECT_EQ(capture->recordedOutput(), 2u);
    EXPECT_TRUE(log.contains("Meeting plays to another output; rebuilding capture"));
    playFor(1);
    EXPECT_GT(capture->stats().receivedSeconds, 1.8);

    // Between its playback streams the meeting keeps its output.
    tap->playing = false;
    meetingOutput.reset();
    main.advance(5);
    EXPECT_EQ(tap->opens, 2);

    // An output that is gone leaves the default output recorded, without a rebuild at
    // every look.
    meetingOutput = 7;
    main.advance(1);
    EXPECT_EQ(tap->opens, 3);
    EXPECT_EQ(capture->recordedOutput(), 1u);
    main.advance(5);
    EXPECT_EQ(tap->opens, 3);
    EXPECT_TRUE(failures.empty());
}

TEST_F(CaptureServiceTest, WatchdogRebuildsAStalledStreamButNotASilentOne) {
    start();
    playFor(12);
    EXPECT_EQ(tap->opens, 1); // audio flowing, silence or not

    // Nothing arrives: noticed between 5 and 10 s later, statistics kept.
    double before = capture->stats().receivedSeconds;
    main.advance(10);
    EXPECT_EQ(tap->opens, 2);
    EXPECT_TRUE(
        log.contains(fmt::format("No audio for 5 s after {:.1f} s; rebuilding capture", before)));
    EXPECT_EQ(capture->stats().receivedSeconds, before);
    // The tick right after a rebuild never rebuilds.
    main.advance(5);
    EXPECT_EQ(tap->opens, 2);

    // A rebuild that fails is logged and retried at a later tick; the owner is not told.
    tap->failures = 1;
    main.advance(5);
    EXPECT_EQ(tap->opens, 3);
    EXPECT_TRUE(log.contains(
        "Capture retry failed: Audio capture failed (connect to sound server, error 6)."));
    main.advance(10);
    EXPECT_EQ(tap->opens, 4);
    EXPECT_TRUE(failures.empty());

    // Paused capture is not a stall.
    capture->pause();
    main.advance(30);
    EXPECT_EQ(tap->opens, 4);
}

TEST_F(CaptureServiceTest, QuietOutputIsNoStallButAStreamDeafToPlayingOutputIsRebuilt) {
    start();
    playFor(2);
    // A quiet meeting: the idle output's monitor delivers nothing, for minutes.
    tap->playing = false;
    main.advance(120);
    EXPECT_EQ(tap->opens, 1);
    EXPECT_FALSE(log.contains("rebuilding capture"));

    // The output starts playing but the stream stays deaf: the tick that first sees it
    // playing gives a waking stream time, the next one rebuilds (within 10 s).
    tap->playing = true;
    main.advance(4);
    EXPECT_EQ(tap->opens, 1);
    main.advance(5);
    EXPECT_EQ(tap->opens, 2);
    EXPECT_TRUE(log.contains(fmt::format("No audio for 5 s after {:.1f} s; rebuilding capture",
                                         capture->stats().receivedSeconds)));
}

TEST_F(CaptureServiceTest, ChangeOfDefaultOutputRebuildsAndReportsAFailedRebuild) {
    start();
    playFor(1);
    auto old = tap->handlers;
    old.outputChanged();
    main.runUntilIdle();
    EXPECT_EQ(tap->opens, 2);
    EXPECT_TRUE(log.contains("Output device changed; rebuilding capture"));
    playFor(1);
    EXPECT_GT(capture->stats().receivedSeconds, 1.8); // both halves kept

    // Events of a stream already replaced are ignored.
    old.outputChanged();
    main.runUntilIdle();
    EXPECT_EQ(tap->opens, 2);

    tap->failures = 1;
    tap->handlers.outputChanged();
    main.runUntilIdle();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0], "Audio capture failed (connect to sound server, error 6).");
}

TEST_F(CaptureServiceTest, StreamEndedByTheServerIsReopenedOnceTheServerAnswers) {
    start();
    playFor(1);
    tap->failures = 3; // the server is restarting
    tap->handlers.lost("Connection terminated");
    main.runUntilIdle();
    EXPECT_TRUE(log.contains("Capture stream ended (Connection terminated); rebuilding capture"));
    EXPECT_FALSE(tap->isOpen);
    main.advance(3.5);
    EXPECT_TRUE(tap->isOpen);
    EXPECT_EQ(tap->opens, 5);
    EXPECT_TRUE(failures.empty());
    playFor(1);
    EXPECT_GT(capture->stats().receivedSeconds, 1.8);
    main.advance(5);
    EXPECT_EQ(tap->opens, 5);
}

// A microphone a test drives; builds finish at once.
class FakeMicInput : public MicInput {
public:
    void open(const std::optional<std::string>& source, Handlers h) override {
        opened.push_back(source.value_or("default"));
        handlers = std::move(h);
        if (failures > 0 || (source && missing.count(*source))) {
            if (failures > 0)
                --failures;
            handlers.failed("No input named " + source.value_or("default") + ".");
            return;
        }
        handlers.opened({{48000, 1}, describe(source)});
    }
    void close() override {}
    static std::optional<std::string> describe(const std::optional<std::string>& source) {
        if (!source)
            return "Built-in Microphone";
        if (*source == "nameless")
            return std::nullopt;
        return "Headset " + *source;
    }
    void speak(double seconds) {
        handlers.audio(std::vector<float>(static_cast<std::size_t>(48000 * seconds), 0.2f),
                       {48000, 1});
    }

    Handlers handlers;
    std::vector<std::string> opened;
    std::set<std::string> missing;
    int failures = 0;
};

class MicServiceTest : public ::testing::Test {
protected:
    ManualClock clock;
    ManualExecutor main{clock};
    std::shared_ptr<FakeMicInput> input = std::make_shared<FakeMicInput>();
    std::shared_ptr<MicCapture> mic = MicCapture::make(input, main, clock);
    std::optional<std::string> meeting;
    Log::Capture log;

    void SetUp() override {
        mic->meetingDevice = [this] { return meeting; };
    }
    void speakFor(double seconds) {
        for (double t = 0; t < seconds - 1e-9; t += 0.1) {
            input->speak(0.1);
            clock.advance(0.1);
        }
    }
};

TEST_F(MicServiceTest, MutedAndHeldAudio) {
    mic->start(std::nullopt);
    main.runUntilIdle();
    EXPECT_EQ(*mic->deviceDescription(), "Built-in Microphone (system default input)");
    EXPECT_TRUE(log.contains("Mic capture started on Built-in Microphone"));

    mic->hold();
    speakFor(1);
    EXPECT_TRUE(mic->drain().empty());
    mic->setMuted(true); // held audio from before the mute state was known goes
    EXPECT_TRUE(mic->drain().empty());
    speakFor(1);
    EXPECT_TRUE(mic->drain().empty());
    auto counts = mic->counts();
    EXPECT_NEAR(counts.ignored, 1.0, 0.1);
    // Muted speech still counts as audio arriving.
    mic->check(clock.now());
    main.runUntilIdle();
    EXPECT_EQ(mic->stalls(), 0);

    mic->hold();
    mic->setMuted(false);
    speakFor(1);
    EXPECT_NEAR(static_cast<double>(mic->drain().size()) / 16000, 1.0, 0.1);
    EXPECT_NEAR(mic->counts().received, 2.0, 0.2); // the held second counted too

    mic->stop();
    EXPECT_TRUE(log.contains("Mic capture stopped; audio released"));
    EXPECT_TRUE(mic->drain().empty());
}

TEST_F(MicServiceTest, SilentMeetingDeviceIsRetriedOnceThenTheDefaultInputIsUsedForGood) {
    meeting = "usb-headset";
    mic->start(std::nullopt);
    main.runUntilIdle();
    EXPECT_EQ(*mic->deviceDescription(), "Headset usb-headset (the one the meeting uses)");
    clock.advance(6);
    mic->check(clock.now());
    main.runUntilIdle();
    EXPECT_TRUE(log.contains("Mic gave no audio; rebuilding"));
    EXPECT_EQ(input->opened.back(), "usb-headset");
    EXPECT_EQ(mic->restarts(), 1);
    clock.advance(6);
    mic->check(clock.now());
    main.runUntilIdle();
    EXPECT_TRUE(log.contains("The meeting's mic gives no audio; switching to the default input"));
    EXPECT_EQ(input->opened.back(), "default");
    EXPECT_TRUE(mic->usesDefault());
    EXPECT_FALSE(mic->followsMeeting());
}

TEST_F(MicServiceTest, FollowsTheMeetingToAnotherDeviceAndFallsBackWhenItVanishes) {
    meeting = "usb-headset";
    mic->start(std::nullopt);
    main.runUntilIdle();
    speakFor(1);
    meeting = "bt-headset";
    mic->check(clock.now());
    main.runUntilIdle();
    EXPECT_TRUE(log.contains("Mic moved with the meeting; rebuilding"));
    EXPECT_EQ(*mic->device(), "bt-headset");

    // The source goes away while the meeting still names it: the default input, without a
    // restart at every later check.
    input->missing.insert("bt-headset");
    input->handlers.changed();
    main.runUntilIdle();
    EXPECT_TRUE(log.contains("Mic device changed; restarting mic"));
    EXPECT_TRUE(log.contains("Couldn't record from the meeting's mic; using the default input"));
    EXPECT_EQ(input->opened.back(), "default");
    EXPECT_FALSE(mic->device());
    auto opens = input->opened.size();
    speakFor(1);
    mic->check(clock.now());
    main.runUntilIdle();
    EXPECT_EQ(input->opened.size(), opens);
}

TEST_F(MicServiceTest, FailedStartIsReportedAndRestartsRetryEveryHalfSecondUntilStopped) {
    std::vector<std::string> failures;
    mic->onFailure = [&](const Error& e) { failures.push_back(e.what()); };
    input->failures = 1;
    mic->start(std::nullopt);
    EXPECT_TRUE(failures.empty()); // the answer comes back as a task
    main.runUntilIdle();
    EXPECT_EQ(failures, std::vector<std::string>{"No input named default."});
    EXPECT_FALSE(mic->isRunning());

    mic->start(std::nullopt);
    main.runUntilIdle();
    input->failures = 3;
    input->handlers.changed();
    main.runUntilIdle();
    main.advance(1.6);
    EXPECT_EQ(mic->restarts(), 1);
    EXPECT_TRUE(mic->isRunning());

    input->failures = 100;
    mic->restart(0);
    main.advance(20);
    EXPECT_TRUE(log.contains("Mic restart failed: No input named default."));
    EXPECT_EQ(input->opened.size(), 2u + 4u + 21u);
    EXPECT_FALSE(mic->isRunning());

    input->failures = 0;
    mic->start(std::nullopt);
    main.runUntilIdle();
    input->failures = 100;
    mic->restart(0);
    auto opens = input->opened.size();
    mic->stop();
    main.advance(20);
    EXPECT_EQ(input->opened.size(), opens);

    // Paused: a retry that was pending never reopens the input; resuming does.
    input->failures = 0;
    mic->start(std::nullopt);
    main.runUntilIdle();
    input->failures = 1;
    mic->restart(0);
    main.runUntilIdle(); // the failed open is answered; a retry is due in half a second
    opens = input->opened.size();
    mic->pause();
    main.advance(5);
    EXPECT_EQ(input->opened.size(), opens);
    EXPECT_FALSE(mic->isRunning());
    mic->resume();
    main.runUntilIdle();
    EXPECT_TRUE(mic->isRunning());
}

TEST_F(MicServiceTest, UnreadableNameIsUnknownMic) {
    EXPECT_EQ(MicCapture::name(FakeMicInput::describe("nameless")), "unknown mic");
    EXPECT_EQ(MicCapture::name(FakeMicInput::describe(std::nullopt)), "Built-in Microphone");
    EXPECT_TRUE(MicCapture::fallBack(2, true));
    EXPECT_FALSE(MicCapture::fallBack(2, false));
    EXPECT_FALSE(MicCapture::fallBack(1, true));
}

} // namespace
} // namespace tallyvox

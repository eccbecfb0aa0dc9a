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

// A stream source a test drives: what open() answers and the handlers it was given.
class FakeTap : public OutputTap {
public:
    StreamFormat open(Handlers h) override {
        ++opens;
        if (failures > 0) {
            --failures;
            throw AudioCaptureService::CaptureError::step("connect to sound server", 6);
        }
        handlers = std::move(h);
        isOpen = true;
        return format;
    }
    void close() override { isOpen = false; }
    bool isPlaying() override { return playing; }
    void play(double seconds, float level = 0.3f) {
        auto frames = static_cast<std::size_t>(format.sampleRate * seconds);
        handlers.audio(
            std::vector<float>(frames * static_cast<std::size_t>(format.channels), level));
    }

    StreamFormat format{48000, 2};
    Handlers handlers;
    int opens = 0;
    int failures = 0;
    bool isOpen = false;
    bool playing = true;
};

class CaptureServiceTest : public ::testing::Test {
protected:
    ManualClock clock;
    ManualExecutor main{clock};
    std::shared_ptr<FakeTap> tap = std::make_shared<FakeTap>();
    std::shared_ptr<TapCapture> capture =
        TapCapture::make(tap, main, std::shared_ptr<Executor>(&main, [](Executor*) {}), clock);
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
    // Plays one buffer every 20 ms for `seconds`.
    void playFor(double seconds) {
        for (double t = 0; t < seconds - 1e-9; t += 0.02) {
            tap->play(0.02);
            main.advance(0.02);
        }
    }
};

TEST_F(CaptureServiceTest, StartConvertsTheStreamAndStopReleasesEverything) {
    capture->start(consent());
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

    capture->stop();
    EXPECT_FALSE(tap->isOpen);
    EXPECT_EQ(capture->stats(), CaptureStats());
    EXPECT_TRUE(log.contains("Capture stopped; audio released"));
    main.advance(30);
    EXPECT_EQ(tap->opens, 2); // no watchdog after stop
}

TEST_F(CaptureServiceTest, FailedSetUpStepIsThrownWithItsDescription) {
    tap->failures = 1;
    try {
        capture->start(consent());
        FAIL();
    } catch (const AudioCaptureService::CaptureError& e) {
        EXPECT_STREQ(e.what(), "Audio capture failed (connect to sound server, error 6).");
    }
    tap->format = {0, 2};
    EXPECT_THROW(capture->start(consent()), AudioCaptureService::CaptureError);
    EXPECT_FALSE(tap->isOpen);
    EXPECT_EQ(AudioCaptureService::CaptureError::badFormat().what(),
              std::string("Unsupported audio format from the meeting app."));
}

TEST_F(CaptureServiceTest, WatchdogRebuildsAStalledStreamButNotASilentOne) {
    capture->start(consent());
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
    capture->start(consent());
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
    capture->start(consent());
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
    capture->start(consent());
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

// A microphone a test drives.
class FakeMicInput : public MicInput {
public:
    StreamFormat open(const std::optional<std::string>& source, Handlers h) override {
        opened.push_back(source.value_or("default"));
        if (failures > 0 || (source && missing.count(*source))) {
            if (failures > 0)
                --failures;
            throw Error("No input named " + source.value_or("default") + ".");
        }
        handlers = std::move(h);
        return {48000, 1};
    }
    void close() override {}
    std::optional<std::string> describe(const std::optional<std::string>& source) override {
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
    EXPECT_EQ(*mic->deviceDescription(), "Headset usb-headset (the one the meeting uses)");
    clock.advance(6);
    mic->check(clock.now());
    EXPECT_TRUE(log.contains("Mic gave no audio; rebuilding"));
    EXPECT_EQ(input->opened.back(), "usb-headset");
    EXPECT_EQ(mic->restarts(), 1);
    clock.advance(6);
    mic->check(clock.now());
    EXPECT_TRUE(log.contains("The meeting's mic gives no audio; switching to the default input"));
    EXPECT_EQ(input->opened.back(), "default");
    EXPECT_TRUE(mic->usesDefault());
    EXPECT_FALSE(mic->followsMeeting());
}

TEST_F(MicServiceTest, FollowsTheMeetingToAnotherDeviceAndFallsBackWhenItVanishes) {
    meeting = "usb-headset";
    mic->start(std::nullopt);
    speakFor(1);
    meeting = "bt-headset";
    mic->check(clock.now());
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
    EXPECT_EQ(input->opened.size(), opens);
}

TEST_F(MicServiceTest, RestartRetriesEveryHalfSecondAndStopCancelsThem) {
    mic->start(std::nullopt);
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
    EXPECT_EQ(input->opened.size(), 1u + 4u + 21u);
    EXPECT_FALSE(mic->isRunning());

    input->failures = 0;
    mic->start(std::nullopt);
    input->failures = 100;
    mic->restart(0);
    auto opens = input->opened.size();
    mic->stop();
    main.advance(20);
    EXPECT_EQ(input->opened.size(), opens);

    // Paused: a retry that was pending never reopens the input; resuming does.
    input->failures = 0;
    mic->start(std::nullopt);
    input->failures = 1;
    mic->restart(0);
    opens = input->opened.size();
    mic->pause();
    main.advance(5);
    EXPECT_EQ(input->opened.size(), opens);
    EXPECT_FALSE(mic->isRunning());
    mic->resume();
    EXPECT_TRUE(mic->isRunning());
}

TEST_F(MicServiceTest, UnreadableNameIsUnknownMic) {
    EXPECT_EQ(MicCapture::name(*input, std::string("nameless")), "unknown mic");
    EXPECT_EQ(MicCapture::name(*input, std::nullopt), "Built-in Microphone");
    EXPECT_TRUE(MicCapture::fallBack(2, true));
    EXPECT_FALSE(MicCapture::fallBack(2, false));
    EXPECT_FALSE(MicCapture::fallBack(1, true));
}

} // namespace
} // namespace tallyvox

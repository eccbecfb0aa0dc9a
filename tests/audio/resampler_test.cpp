#include "audio/CaptureProcessor.h"
#include "audio/OutputTap.h"
#include "audio/RateTracker.h"
#include "audio/Resampler.h"
#include "audio/SampleBuffer.h"
#include "base/Log.h"
#include "fakes/ManualExecutor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tallyvox {
namespace {

std::vector<float> sine(double rate, int channels, double seconds, double hz = 440,
                        float amplitude = 0.5f) {
    auto frames = static_cast<std::size_t>(rate * seconds);
    std::vector<float> out(frames * static_cast<std::size_t>(channels));
    for (std::size_t f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c)
            out[f * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] =
                amplitude *
                static_cast<float>(std::sin(2 * M_PI * hz * static_cast<double>(f) / rate));
    return out;
}

std::vector<float> convertInPieces(Resampler& r, const std::vector<float>& in, std::size_t frames,
                                   std::size_t pieceFrames) {
    std::vector<float> out;
    const auto ch = static_cast<std::size_t>(r.channels());
    for (std::size_t at = 0; at < frames; at += pieceFrames) {
        auto n = std::min(pieceFrames, frames - at);
        if (auto got = r.convert(in.data() + at * ch, n))
            out.insert(out.end(), got->begin(), got->end());
    }
    return out;
}

TEST(CaptureResampler, StreamOfShortBuffersKeepsLengthAndMatchesOneLongConversion) {
    auto in = sine(48000, 2, 10);
    auto pieces = Resampler::make(48000, 2);
    auto whole = Resampler::make(48000, 2);
    ASSERT_TRUE(pieces && whole);
    auto chunked = convertInPieces(*pieces, in, 480000, 960);
    auto once = convertInPieces(*whole, in, 480000, 480000);

    // 10 s at 16 kHz, less the resampler's delay (about 30 ms).
    EXPECT_NEAR(static_cast<double>(chunked.size()), 160000, 800);
    EXPECT_NEAR(static_cast<double>(chunked.size()), static_cast<double>(once.size()), 64);
    // One continuous stream: buffer edges change nothing, so there is nothing to click.
    ASSERT_GE(chunked.size(), 150000u);
    ASSERT_GE(once.size(), 150000u);
    for (std::size_t i = 1000; i < 150000; ++i)
        ASSERT_NEAR(chunked[i], once[i], 1e-4) << i;
    // And the tone survives at its level (RMS of a 0.5 sine).
    double sum = 0;
    for (std::size_t i = 1000; i < 150000; ++i)
        sum += chunked[i] * chunked[i];
    EXPECT_NEAR(std::sqrt(sum / 149000), 0.5 / std::sqrt(2), 0.01);
}

TEST(CaptureResampler, AveragesChannelsAndRefusesUnusableFormats) {
    auto r = Resampler::make(16000, 2);
    ASSERT_TRUE(r);
    std::vector<float> opposite(2 * 16000);
    for (std::size_t f = 0; f < 16000; ++f) {
        opposite[2 * f] = 0.5f;
        opposite[2 * f + 1] = -0.5f;
    }
    auto out = convertInPieces(*r, opposite, 16000, 320);
    ASSERT_FALSE(out.empty());
    for (float s : out)
        ASSERT_NEAR(s, 0, 1e-5);

    EXPECT_FALSE(r->convert(opposite.data(), 0));
    EXPECT_FALSE(Resampler::make(0, 2));
    EXPECT_FALSE(Resampler::make(-48000, 2));
    EXPECT_FALSE(Resampler::make(std::numeric_limits<double>::quiet_NaN(), 2));
    EXPECT_FALSE(Resampler::make(std::numeric_limits<double>::infinity(), 2));
    EXPECT_FALSE(Resampler::make(1e300, 2));
    EXPECT_FALSE(Resampler::make(48000, 0));
}

// Feeds `perSecond` frames a second in 20 ms steps from uptime `t`, answering the first rate.
std::optional<double> measure(RateTracker& tracker, double perSecond, double& t, double seconds) {
    std::optional<double> answer;
    for (double end = t + seconds; t < end - 1e-9; t += 0.02)
        if (auto rate = tracker.add(std::lround(perSecond * 0.02), t); rate && !answer)
            answer = rate;
    return answer;
}

TEST(CaptureRateTracker, AnswersNearestStandardRateWithinTenPercent) {
    EXPECT_EQ(RateTracker::standardRate(47000), 48000);
    EXPECT_EQ(RateTracker::standardRate(40000), 44100);
    EXPECT_EQ(RateTracker::standardRate(36000), std::nullopt);
    EXPECT_EQ(RateTracker::standardRate(28000), std::nullopt); // the tie goes to 24 000

    RateTracker tracker;
    double t = 100;
    EXPECT_EQ(measure(tracker, 47000, t, 2.1), 48000);
    EXPECT_EQ(measure(tracker, 36000, t, 2.1), std::nullopt);
}

TEST(CaptureRateTracker, GapRestartsMeasuringWithoutCountingTheRestartingFrames) {
    RateTracker tracker;
    EXPECT_FALSE(tracker.add(960, 10.0)); // starts
    EXPECT_FALSE(tracker.add(960, 10.4));
    EXPECT_EQ(tracker.frames, 960);
    EXPECT_FALSE(tracker.add(5000, 10.9)); // 0.5 s gap: a new window
    EXPECT_EQ(*tracker.start, 10.9);
    EXPECT_EQ(tracker.frames, 0);
}

TEST(CaptureOutputDevice, BuiltInSpeakersUnlessTheSoundPlainlyGoesElsewhere) {
    EXPECT_TRUE(OutputDeviceInfo::isBuiltInSpeakers(std::nullopt));
    OutputDeviceInfo internal;
    internal.bus = "pci";
    internal.api = "alsa";
    internal.activePort = "analog-output-speaker";
    EXPECT_TRUE(OutputDeviceInfo::isBuiltInSpeakers(internal));
    EXPECT_TRUE(OutputDeviceInfo::isBuiltInSpeakers(OutputDeviceInfo{})); // a null sink

    auto usb = internal;
    usb.bus = "usb";
    EXPECT_FALSE(OutputDeviceInfo::isBuiltInSpeakers(usb));
    auto bluetooth = internal;
    bluetooth.bus = "";
    bluetooth.api = "bluez";
    EXPECT_FALSE(OutputDeviceInfo::isBuiltInSpeakers(bluetooth));
    auto headphones = internal;
    headphones.activePort = "analog-output-headphones";
    EXPECT_FALSE(OutputDeviceInfo::isBuiltInSpeakers(headphones));
    auto typed = internal;
    typed.activePort = "[Out] Jack";
    typed.activePortIsHeadphones = true;
    EXPECT_FALSE(OutputDeviceInfo::isBuiltInSpeakers(typed));
    auto hdmi = internal;
    hdmi.activePort = "hdmi-output-0";
    EXPECT_FALSE(OutputDeviceInfo::isBuiltInSpeakers(hdmi));
}

class CaptureProcessorTest : public ::testing::Test {
protected:
    testing::ManualClock clock;
    CaptureProcessor processor{clock, 16000};

    // `seconds` of 48 kHz stereo tone in 20 ms buffers, delivered at the matching uptimes.
    void feed(double seconds, float amplitude = 0.5f, std::uint64_t generation = 1) {
        auto buffer = sine(48000, 2, 0.02, 440, amplitude);
        for (double t = 0; t < seconds - 1e-9; t += 0.02) {
            processor.process(buffer.data(), buffer.size(), generation, clock.uptime());
            clock.advance(0.02);
        }
    }
};

TEST_F(CaptureProcessorTest, CountsConvertedAudioAndFillsBufferedSecondsOnlyWhenRead) {
    ASSERT_TRUE(processor.useStream(1, 48000, 2));
    EXPECT_EQ(processor.stats().format, "48000 Hz, 2 ch");
    feed(0.5);
    auto stats = processor.stats();
    EXPECT_NEAR(stats.receivedSeconds, 0.5, 0.03);
    EXPECT_GT(stats.callbacks, 5);
    EXPECT_EQ(stats.buffersInCallback, 1);
    EXPECT_NEAR(stats.level, 1.0f, 1e-6); // 4 x 0.35 capped
    ASSERT_TRUE(stats.lastSoundAt);
    EXPECT_NEAR(stats.bufferedSeconds, stats.receivedSeconds, 1e-9);
    EXPECT_NEAR(stats.averageLevel(), 0.35, 0.03);

    auto drained = processor.drain();
    EXPECT_NEAR(static_cast<double>(drained.size()) / 16000, stats.receivedSeconds, 1e-9);
    EXPECT_TRUE(processor.drain().empty());
    EXPECT_EQ(processor.stats().bufferedSeconds, 0);
}

TEST_F(CaptureProcessorTest, SilenceCountsAsReceivedButNotAsSound) {
    ASSERT_TRUE(processor.useStream(1, 48000, 2));
    feed(0.5);
    auto quietFrom = clock.now();
    feed(1.5, 0);
    auto stats = processor.stats();
    ASSERT_TRUE(stats.lastSoundAt);
    // Only the resampler's tail of the tone may still count as sound.
    EXPECT_LT(secondsBetween(quietFrom, *stats.lastSoundAt), 0.2);
    EXPECT_NEAR(stats.receivedSeconds, 2.0, 0.1);
    EXPECT_LT(stats.level, 0.01f);
}

TEST_F(CaptureProcessorTest, EmptyBuffersAndBuffersOfAReplacedStreamChangeNothing) {
    std::vector<float> buffer(1920, 0.5f);
    processor.process(buffer.data(), buffer.size(), 1, clock.uptime()); // no stream yet
    ASSERT_TRUE(processor.useStream(2, 48000, 2));
    processor.process(buffer.data(), 0, 2, clock.uptime());
    processor.process(buffer.data(), 1, 2, clock.uptime()); // less than one frame
    processor.process(buffer.data(), buffer.size(), 1, clock.uptime());
    auto stats = processor.stats();
    EXPECT_EQ(stats.callbacks, 0);
    EXPECT_EQ(stats.receivedSeconds, 0);
    EXPECT_FALSE(processor.useStream(3, 0, 2));
}

TEST(CaptureSampleBuffer, KeepsTheNewestSamplesInOrderAcrossCompactions) {
    SampleBuffer buffer(100);
    float next = 0;
    std::size_t dropped = 0;
    for (int i = 0; i < 500; ++i) {
        std::vector<float> chunk(7);
        for (auto& value : chunk)
            value = next++;
        dropped += buffer.append(chunk.data(), chunk.size());
        ASSERT_LE(buffer.size(), 100u);
    }
    EXPECT_EQ(dropped, 3500u - 100u);
    auto kept = buffer.take();
    ASSERT_EQ(kept.size(), 100u);
    for (std::size_t i = 0; i < kept.size(); ++i)
        ASSERT_EQ(kept[i], static_cast<float>(3400 + i));
    EXPECT_EQ(buffer.size(), 0u);
}

TEST_F(CaptureProcessorTest, BufferLimitDropsOldestAndCountsEachOverflow) {
    Log::Capture log;
    ASSERT_TRUE(processor.useStream(1, 48000, 2));
    feed(3); // 3 s into a 1 s buffer
    auto stats = processor.stats();
    EXPECT_EQ(stats.bufferedSeconds, 1.0);
    EXPECT_NEAR(stats.droppedSeconds, stats.receivedSeconds - 1.0, 1e-9);
    EXPECT_GT(stats.overflowEvents, 10);
    EXPECT_NEAR(stats.maxBufferedSeconds, 1.0, 0.1);
    EXPECT_GT(stats.maxBufferedSeconds, 1.0);
    int lines = 0;
    for (auto& text : log.texts())
        if (text.rfind("Capture buffer full: dropping audio (transcription too slow), ", 0) == 0)
            ++lines;
    EXPECT_EQ(lines, 1);
    EXPECT_TRUE(log.contains(
        "Capture buffer full: dropping audio (transcription too slow), 1 times so far"));

    // The newest second is what stays.
    auto kept = processor.drain();
    EXPECT_EQ(kept.size(), 16000u);
    processor.reset();
    EXPECT_EQ(processor.stats(), CaptureStats());
}

// The server delivers the rate it was asked for; how buffers arrive says little about it.
TEST_F(CaptureProcessorTest, DeliveryLagNeverChangesTheStreamsRate) {
    Log::Capture log;
    ASSERT_TRUE(processor.useStream(1, 48000, 2));
    std::vector<float> buffer(960 * 2, 0.1f); // 20 ms at 48 kHz
    long frames = 0;
    auto deliver = [&](int count) {
        for (int i = 0; i < count; ++i) {
            processor.process(buffer.data(), buffer.size(), 1, clock.uptime());
            frames += 960;
        }
    };
    for (int second = 0; second < 3; ++second) {
        // 1.9 s on time, then 90 ms late and the backlog at once.
        for (int i = 0; i < 95; ++i) {
            deliver(1);
            clock.advance(0.02);
        }
        clock.advance(0.09);
        deliver(5);
        clock.advance(0.01);
    }
    EXPECT_EQ(processor.stats().format, "48000 Hz, 2 ch");
    EXPECT_NEAR(processor.stats().receivedSeconds, static_cast<double>(frames) / 48000, 0.03);
    EXPECT_FALSE(log.contains("Audio arrives at about 44100 Hz, not 48000 Hz; keeping the "
                              "stream's rate"));

    // A stream that really runs slow is only reported, once.
    std::vector<float> slow(882 * 2, 0.1f);
    for (int i = 0; i < 400; ++i) {
        processor.process(slow.data(), slow.size(), 1, clock.uptime());
        clock.advance(0.02);
    }
    int lines = 0;
    for (const auto& text : log.texts())
        lines += text == "Audio arrives at about 44100 Hz, not 48000 Hz; keeping the stream's rate";
    EXPECT_EQ(lines, 1);
    EXPECT_EQ(processor.stats().format, "48000 Hz, 2 ch");
}

} // namespace
} // namespace tallyvox

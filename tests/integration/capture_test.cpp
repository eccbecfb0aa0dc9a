#include "SoundServer.h"

#include <gtest/gtest.h>

namespace tallyvox {
namespace {

using namespace testing;

TEST(CaptureIntegration, ReceivesWhatIsPlayed) {
    REQUIRE_SOUND_SERVER();
    testing::TempDir dir;
    auto said = speech(dir.path(), "one", "The quarterly numbers look good, let us move on.");
    ASSERT_GT(said.samples.size(), 16000u);

    Log::Capture log;
    MainThread main;
    auto capture = startCapture(main);
    auto startedAt = std::chrono::steady_clock::now();
    ASSERT_EQ(std::system(("paplay '" + said.wav + "'").c_str()), 0);
    std::vector<float> samples;
    EXPECT_TRUE(waitForServer(15, [&] {
        auto more = capture->drain();
        samples.insert(samples.end(), more.begin(), more.end());
        return heardToTheEnd(samples);
    }));
    auto stats = capture->stats();
    double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt).count();
    main.sync([&] { capture->stop(); });

    EXPECT_NEAR(energy(samples) / energy(said.samples), 1, strengthTolerance)
        << "played " << marks(said.samples) << "\ngot    " << marks(samples) << lines(log);
    EXPECT_EQ(stats.droppedSeconds, 0);
    // A null sink's monitor delivers only while something plays.
    EXPECT_GE(stats.receivedSeconds, static_cast<double>(said.samples.size()) / 16000);
    EXPECT_LE(stats.receivedSeconds, wall + 0.1);
    EXPECT_EQ(stats.format, serverFormat());
}

TEST(CaptureIntegration, KeepsBothHalvesWhenTheDefaultOutputChanges) {
    REQUIRE_SOUND_SERVER();
    testing::TempDir dir;
    auto first = speech(dir.path(), "first", "This is the first half of the meeting.");
    auto second = speech(dir.path(), "second", "And this is the second half, on new speakers.");
    auto module = run("pactl load-module module-null-sink sink_name=tallyvox_second "
                      "sink_properties=device.description=Headphones");
    ASSERT_FALSE(module.empty());
    auto original = run("pactl get-default-sink");
    Log::Capture log;

    MainThread main;
    auto capture = startCapture(main);
    std::vector<float> samples, firstHeard;
    auto collect = [&](std::vector<float>& into) {
        auto more = capture->drain();
        into.insert(into.end(), more.begin(), more.end());
        return heardToTheEnd(into);
    };
    std::system(("paplay '" + first.wav + "'").c_str());
    EXPECT_TRUE(waitForServer(15, [&] { return collect(firstHeard); }));
    std::system("pactl set-default-sink tallyvox_second");
    EXPECT_TRUE(
        waitForServer(15, [&] { return logged(log, "Recording tallyvox_second.monitor"); }));
    EXPECT_TRUE(log.contains("Output device changed; rebuilding capture"));
    std::system(("paplay '" + second.wav + "'").c_str());
    EXPECT_TRUE(waitForServer(15, [&] { return collect(samples); }));
    main.sync([&] { capture->stop(); });
    std::system(("pactl set-default-sink '" + original + "'").c_str());
    std::system(("pactl unload-module " + module).c_str());

    EXPECT_NEAR(energy(firstHeard) / energy(first.samples), 1, strengthTolerance)
        << marks(firstHeard) << lines(log);
    EXPECT_NEAR(energy(samples) / energy(second.samples), 1, strengthTolerance)
        << marks(samples) << lines(log);
}

// A quiet meeting on a suspended output (as servers do with idle ones): its monitor delivers
// nothing at all, which is no broken stream to rebuild over and over.
TEST(CaptureIntegration, QuietSuspendedOutputIsNotTakenForAStall) {
    REQUIRE_SOUND_SERVER();
    ASSERT_EQ(std::system("pactl suspend-sink tallyvox_speakers 1"), 0);
    struct Wake {
        ~Wake() { std::system("pactl suspend-sink tallyvox_speakers 0"); }
    } wake;
    Log::Capture log;

    MainThread main;
    TapCapture::Options options;
    options.watchdogInterval = 1;
    auto capture = main.sync([&] {
        return TapCapture::make(std::make_shared<PulseOutputTap>(), main.loop, nullptr,
                                Clock::system(), options);
    });
    main.sync([&] { capture->start(consent()); });
    // The window to watch, not a wait for something: six watchdog ticks.
    std::this_thread::sleep_for(std::chrono::seconds(6));
    double received = capture->stats().receivedSeconds;
    main.sync([&] { capture->stop(); });

    if (!onPipeWire()) {
        EXPECT_EQ(received, 0);
    }
    for (const auto& text : log.texts())
        EXPECT_EQ(text.find("rebuilding capture"), std::string::npos) << text;
}

TEST(CaptureIntegration, RebuildsWithinTenSecondsAfterTheServerRestarts) {
    REQUIRE_SOUND_SERVER();
    testing::TempDir dir;
    PrivateServer server(dir.path());
    ASSERT_TRUE(server.start()) << server.log();
    testing::ScopedEnv env("PULSE_SERVER", server.address());
    Log::Capture log;

    MainThread main;
    auto capture = main.sync([&] { return makePulseCapture(main.loop); });
    main.sync([&] { capture->start(consent()); });
    {
        Tone tone(dir.path(), 30);
        // A null sink's monitor takes a second or two to deliver once playing starts.
        ASSERT_TRUE(waitForServer(15, [&] { return capture->stats().receivedSeconds > 0.2; }))
            << server.log();
        server.kill();
    }
    ASSERT_TRUE(server.start()) << server.log();
    auto restarted = std::chrono::steady_clock::now();
    Tone tone(dir.path(), 30);
    EXPECT_TRUE(waitForServer(10, [&] { return log.contains("Capture rebuilt"); }));
    double rebuiltAfter =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - restarted).count();
    double before = capture->stats().receivedSeconds;
    EXPECT_TRUE(waitForServer(20, [&] { return capture->stats().receivedSeconds > before + 0.5; }))
        << "rebuilt after " << rebuiltAfter << " s, but no audio since";
    main.sync([&] { capture->stop(); });
    EXPECT_TRUE(log.contains("Capture stream ended (Connection terminated); rebuilding capture"));
}

// The meeting app plays to a headset while the desktop's default output stays the speakers:
// its output is recorded once its stream shows up, and followed when the stream moves.
TEST(CaptureIntegration, RecordsTheOutputTheMeetingPlaysToAndFollowsItsMove) {
    REQUIRE_SOUND_SERVER();
    testing::TempDir dir;
    auto first = speech(dir.path(), "first", "This is the first half of the meeting.");
    auto second = speech(dir.path(), "second", "And this is the second half, on the dock.");
    auto headset = run("pactl load-module module-null-sink sink_name=tallyvox_headset");
    auto dock = run("pactl load-module module-null-sink sink_name=tallyvox_dock");
    ASSERT_FALSE(headset.empty() || dock.empty());
    struct Unload {
        std::string a, b;
        ~Unload() {
            std::system(("pactl unload-module " + a + "; pactl unload-module " + b).c_str());
        }
    } unload{headset, dock};

    PulseProcessList streams;
    std::atomic<int> appPid{0};
    auto meetingOutput = [&]() -> std::optional<std::uint32_t> {
        for (const auto& stream : streams.streams())
            if (stream.pid == appPid && stream.sink)
                return stream.sink;
        return std::nullopt;
    };
    MainThread main;
    auto capture = startCapture(main, meetingOutput);
    EXPECT_EQ(main.sync([&] { return capture->recordedOutput(); }), sinkIndex("tallyvox_speakers"));

    // The stand-in meeting app: raw 16 kHz speech through a pipe, played to the headset.
    auto fifo = (dir.path() / "meeting.raw").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int pipe = ::open(fifo.c_str(), O_RDWR);
    ASSERT_GE(pipe, 0);
    appPid = std::atoi(run("pacat --playback --device=tallyvox_headset --format=float32le "
                           "--rate=16000 --channels=1 < '" +
                           fifo + "' >/dev/null 2>&1 & echo $!")
                           .c_str());
    auto recording = [&](const std::string& sink) {
        return waitForServer(15, [&] {
            return main.sync([&] { return capture->recordedOutput(); }) == sinkIndex(sink);
        });
    };
    // Like a call app, it never stops writing: silence between what is said (an output
    // that runs dry makes the server rewind, which its monitor cannot follow).
    std::mutex said;
    std::deque<std::vector<float>> toSay;
    std::atomic<bool> hangUp{false};
    std::thread app([&] {
        const std::vector<float> silence(1600, 0.0f);
        while (!hangUp) {
            std::vector<float> next;
            {
                std::lock_guard lock(said);
                if (!toSay.empty()) {
                    next = std::move(toSay.front());
                    toSay.pop_front();
                }
            }
            const auto& out = next.empty() ? silence : next;
            if (::write(pipe, out.data(), out.size() * sizeof(float)) < 0)
                return;
        }
    });
    auto say = [&](const Speech& s) {
        std::lock_guard lock(said);
        toSay.push_back(s.samples);
        return true;
    };
    std::vector<float> samples;
    auto collect = [&] {
        auto more = capture->drain();
        samples.insert(samples.end(), more.begin(), more.end());
        return soundSeconds(samples);
    };
    const double firstHalf = soundSeconds(first.samples);
    const double played = firstHalf + soundSeconds(second.samples);

    EXPECT_TRUE(recording("tallyvox_headset"));
    EXPECT_TRUE(say(first));
    EXPECT_TRUE(waitForServer(15, [&] { return collect() >= firstHalf * 0.95; }))
        << soundSeconds(samples) << " of " << firstHalf;
    // On a loaded machine the server's list can lag behind the stream: move it only once it is
    // listed, and until the server says it plays to the dock.
    std::uint32_t index = 0;
    auto onDock = [&] {
        for (const auto& stream : streams.streams())
            if (stream.pid == appPid) {
                index = stream.index;
                if (stream.sink == sinkIndex("tallyvox_dock"))
                    return true;
            }
        if (index != 0)
            std::system(
                ("pactl move-sink-input " + std::to_string(index) + " tallyvox_dock").c_str());
        return false;
    };
    EXPECT_TRUE(waitForServer(15, onDock)) << "stream " << index << " did not move";
    EXPECT_TRUE(recording("tallyvox_dock"));
    EXPECT_TRUE(say(second));
    waitForServer(15, [&] { return collect() >= played * 0.95; });
    main.sync([&] { capture->stop(); });
    hangUp = true;
    app.join();
    ::close(pipe);
    ::kill(appPid, SIGTERM);

    EXPECT_NEAR(soundSeconds(samples), played, played * 0.05 + 0.1);
}

// Speech on the centre channel of a 5.1 output keeps its level: the server mixes it into
// the stereo it delivers, rather than our averaging it with five other channels.
TEST(CaptureIntegration, SurroundOutputIsRecordedAsTheServersStereoMix) {
    REQUIRE_SOUND_SERVER();
    testing::TempDir dir;
    auto module = run("pactl load-module module-null-sink sink_name=tallyvox_surround "
                      "channels=6 channel_map=surround-51");
    ASSERT_FALSE(module.empty());
    auto wav = (dir.path() / "centre.wav").string();
    run("sox -n -r 48000 -c 1 '" + wav + "' synth 3 sine 440 vol 0.5 2>/dev/null");

    MainThread main;
    const std::uint32_t surround = sinkIndex("tallyvox_surround");
    auto capture = startCapture(main, [surround] { return std::optional(surround); });
    std::system(
        ("paplay --device=tallyvox_surround --channel-map=front-center '" + wav + "'").c_str());
    std::vector<float> samples;
    EXPECT_TRUE(waitForServer(15, [&] {
        auto more = capture->drain();
        samples.insert(samples.end(), more.begin(), more.end());
        return soundSeconds(samples) > 2.5;
    }));
    auto stats = capture->stats();
    main.sync([&] { capture->stop(); });
    std::system(("pactl unload-module " + module).c_str());

    EXPECT_EQ(stats.format, serverFormat());
    // The tone's RMS is 0.35; an average over six channels would leave a sixth of it (0.06),
    // the server's stereo mix about a third.
    double sum = 0;
    std::size_t count = 0;
    for (float s : samples)
        if (std::abs(s) > 0.001f) {
            sum += s * s;
            ++count;
        }
    ASSERT_GT(count, 0u);
    EXPECT_GT(std::sqrt(sum / static_cast<double>(count)), 0.35 / 4);
}

// A meeting's playback runs at the latency its app asked for; recording it changes nothing.
TEST(CaptureIntegration, RecordingLeavesTheOutputsLatencyAlone) {
    REQUIRE_SOUND_SERVER();
    // There the graph runs at the smallest quantum any node asks for, and our fragments of a
    // tenth of a second or more ask for more than its default; it reports no latency to compare.
    if (onPipeWire())
        GTEST_SKIP() << "PipeWire's PulseAudio server shows no configured latency";
    auto player = std::atoi(run("pacat --playback --latency-msec=300 --device=tallyvox_speakers "
                                "</dev/zero >/dev/null 2>&1 & echo $!")
                                .c_str());
    struct Stop {
        int pid;
        ~Stop() { ::kill(pid, SIGTERM); }
    } stop{player};
    ASSERT_TRUE(waitForServer(15, [] { return configuredLatency("tallyvox_speakers") > 0; }));
    const long before = configuredLatency("tallyvox_speakers");

    MainThread main;
    auto capture = startCapture(main);
    EXPECT_TRUE(waitForServer(15, [&] { return capture->stats().receivedSeconds > 1; }));
    const long during = configuredLatency("tallyvox_speakers");
    main.sync([&] { capture->stop(); });

    EXPECT_GE(during, before) << "before " << before << " usec";
}

} // namespace
} // namespace tallyvox

#include "app/linux/LinuxPlatformServices.h"
#include "audio/MicCapture.h"
#include "audio/TapCapture.h"
#include "audio/linux/PulseClient.h"
#include "audio/linux/PulseMicInput.h"
#include "audio/linux/PulseOutputTap.h"
#include "base/EventLoop.h"
#include "base/Log.h"
#include "detection/linux/PulseProcessList.h"
#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace tallyvox {
namespace {

std::string run(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe))
            out += buffer;
        pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

bool serverAnswers() {
    return std::system("pactl info >/dev/null 2>&1") == 0;
}

// PipeWire's PulseAudio server, which resumes a suspended output for a recording of its
// monitor and shows no configured latency, where PulseAudio does both.
bool onPipeWire() {
    const char* kind = std::getenv("TALLYVOX_SOUND_SERVER");
    return kind && std::string(kind) == "pipewire";
}

// The capture keeps the server's own rate and channels: 44.1 kHz on PulseAudio, 48 kHz on
// PipeWire, stereo on both.
std::string serverFormat() {
    const auto rate =
        run("pactl info | sed -n 's/^Default Sample [A-Za-z]*: .* \\([0-9]*\\)Hz$/\\1/p'");
    return rate + " Hz, 2 ch";
}

#define REQUIRE_SOUND_SERVER()                                                                     \
    do {                                                                                           \
        if (!serverAnswers()) {                                                                    \
            const char* required = std::getenv("TALLYVOX_REQUIRE_SOUND_SERVER");                   \
            if (required && std::string(required) == "1")                                          \
                FAIL() << "no sound server answers";                                               \
            GTEST_SKIP() << "no sound server; run under scripts/with-sound-server";                \
        }                                                                                          \
    } while (0)

// The services' main thread.
class MainThread {
public:
    MainThread()
        : thread_([this] { loop.run(); }) {}
    ~MainThread() {
        loop.quit();
        thread_.join();
    }
    template <class F> auto sync(F f) {
        std::packaged_task<decltype(f())()> task(std::move(f));
        auto result = task.get_future();
        loop.post([&task] { task(); });
        return result.get();
    }
    EventLoop loop;

private:
    std::thread thread_;
};

// Speech made by espeak-ng, and the same speech at 16 kHz mono for comparison.
struct Speech {
    std::string wav;
    std::vector<float> samples;
};

Speech speech(const std::filesystem::path& dir, const std::string& name, const std::string& text) {
    Speech s;
    s.wav = (dir / (name + ".wav")).string();
    auto raw = (dir / (name + ".raw")).string();
    auto spoken = (dir / (name + "-spoken.wav")).string();
    run("espeak-ng -w '" + spoken + "' '" + text + "' 2>/dev/null");
    // A monitor hands over its last partial fragment only when more audio follows, and an
    // output that falls idle never sends it: the silence after it carries the speech's end
    // through, as a meeting app's open stream does.
    run("sox '" + spoken + "' '" + s.wav + "' pad 0 1.5 2>/dev/null");
    run("sox '" + spoken + "' -t f32 -r 16000 -c 1 '" + raw + "' 2>/dev/null");
    std::ifstream in(raw, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    s.samples.resize(bytes.size() / sizeof(float));
    std::memcpy(s.samples.data(), bytes.data(), s.samples.size() * sizeof(float));
    return s;
}

// Seconds of 10 ms blocks loud enough to be speech.
double soundSeconds(const std::vector<float>& samples) {
    double seconds = 0;
    for (std::size_t at = 0; at + 160 <= samples.size(); at += 160) {
        double sum = 0;
        for (std::size_t i = at; i < at + 160; ++i)
            sum += samples[i] * samples[i];
        if (std::sqrt(sum / 160) > 0.01)
            seconds += 0.01;
    }
    return seconds;
}

// The speech's strength, which resampling keeps, unlike a count of loud blocks that moves
// with where the blocks fall.
double energy(const std::vector<float>& samples) {
    double sum = 0;
    for (float sample : samples)
        sum += static_cast<double>(sample) * sample;
    return sum;
}

// How far the strength heard may be from the strength played: a PulseAudio server at 44.1 kHz
// resamples with less of the highest frequencies than sox keeps (up to 7 % less was seen),
// while a lost fragment of a third of a second takes more than this.
constexpr double strengthTolerance = 0.12;

// Whether speech came and most of the silence after it too (longer than any pause between
// words): the monitor has handed over all of it.
bool heardToTheEnd(const std::vector<float>& samples) {
    constexpr std::size_t silence = 16000 * 8 / 10;
    return samples.size() > silence && soundSeconds(samples) > 0.5 &&
           soundSeconds({samples.end() - silence, samples.end()}) == 0;
}

// Where the speech is, a mark a tenth of a second: what a failure shows.
std::string marks(const std::vector<float>& samples) {
    std::string out;
    for (std::size_t at = 0; at + 1600 <= samples.size(); at += 1600)
        out += soundSeconds({samples.begin() + at, samples.begin() + at + 1600}) > 0.05 ? '#' : '.';
    return out;
}

std::string lines(const Log::Capture& log) {
    std::string out;
    for (const auto& line : log.texts())
        out += "\n" + line;
    return out;
}

// Polls `done` until it holds or `seconds` pass, four times over: every wait here is for
// something the server or the capture must do, and its limit only catches what never happens.
// A busy machine (a parallel build, a loaded CI runner) makes them slow, never wrong.
template <class Done> bool waitFor(double seconds, Done done) {
    constexpr double slowMachine = 4;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds * slowMachine);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// A tone played in the background to the server PULSE_SERVER names, until it ends or this
// goes (so no test hears another's sound).
class Tone {
public:
    Tone(const std::filesystem::path& dir, double seconds) {
        auto wav = (dir / "tone.wav").string();
        run("sox -n -r 48000 -c 2 '" + wav + "' synth " + std::to_string(seconds) +
            " sine 440 vol 0.3 2>/dev/null");
        pid_ = std::atoi(run("paplay '" + wav + "' >/dev/null 2>&1 & echo $!").c_str());
    }
    ~Tone() {
        if (pid_ > 0)
            ::kill(pid_, SIGTERM);
    }
    Tone(const Tone&) = delete;
    Tone& operator=(const Tone&) = delete;

private:
    int pid_ = 0;
};

ConsentRecord consent() {
    ConsentRecord c;
    c.meetingID = "Zoom-1";
    return c;
}

// Whether some log line starts with `prefix`.
bool logged(const Log::Capture& log, const std::string& prefix) {
    for (const auto& text : log.texts())
        if (text.rfind(prefix, 0) == 0)
            return true;
    return false;
}

// Meeting audio on the real sound server, started and waited for until it records.
std::shared_ptr<TapCapture>
startCapture(MainThread& main,
             std::function<std::optional<std::uint32_t>()> meetingOutput = nullptr) {
    auto capture = main.sync([&] {
        auto made = TapCapture::make(std::make_shared<PulseOutputTap>(), main.loop);
        made->meetingOutput = std::move(meetingOutput);
        made->start(consent());
        return made;
    });
    waitFor(15, [&] { return main.sync([&] { return capture->recordedOutput().has_value(); }); });
    return capture;
}

// How many of `what` ("clients", "source-outputs") on the server belong to this process.
int ours(const std::string& what) {
    return std::atoi(run("pactl list " + what + " | grep -c 'application.process.id = \"" +
                         std::to_string(::getpid()) + "\"'")
                         .c_str());
}

// Whether detection's list shows the application `name` playing.
bool lists(const PulseProcessList& streams, const std::string& name) {
    for (const auto& stream : streams.streams())
        if (stream.appName == name &&
            stream.direction == AudioProcessList::Stream::Direction::playing)
            return true;
    return false;
}

// Everything the product asks of the sound server, on one client as the platform services
// build it, with the stream list at hand.
struct OneClient {
    MainThread& main;
    std::shared_ptr<PulseClient> sound = std::make_shared<PulseClient>("Tallyvox");
    PulseProcessList streams{sound};
    PulseSpeakersCheck speakers{sound};
    std::shared_ptr<TapCapture> capture;
    std::shared_ptr<MicCapture> mic;

    explicit OneClient(MainThread& thread)
        : main(thread) {
        capture = main.sync([&] {
            auto made = TapCapture::make(std::make_shared<PulseOutputTap>(sound), main.loop);
            made->start(consent());
            return made;
        });
        mic = main.sync([&] {
            auto made = MicCapture::make(std::make_shared<PulseMicInput>(sound), main.loop);
            made->start(std::nullopt);
            return made;
        });
    }
    ~OneClient() {
        main.sync([&] {
            mic->stop();
            capture->stop();
        });
    }
    bool running() {
        return main.sync([&] { return capture->recordedOutput().has_value() && mic->isRunning(); });
    }
};

std::uint32_t sinkIndex(const std::string& name) {
    return static_cast<std::uint32_t>(std::atoi(
        run("pactl list short sinks | awk '$2 == \"" + name + "\" { print $1 }'").c_str()));
}

// The latency the server runs `sink` at, in microseconds.
long configuredLatency(const std::string& sink) {
    return std::atol(run("pactl list sinks | awk '/Name: " + sink +
                         "$/ { found = 1 } found && /configured/ { print $(NF-1); exit }'")
                         .c_str());
}

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
    EXPECT_TRUE(waitFor(15, [&] {
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
    EXPECT_TRUE(waitFor(15, [&] { return collect(firstHeard); }));
    std::system("pactl set-default-sink tallyvox_second");
    EXPECT_TRUE(waitFor(15, [&] { return logged(log, "Recording tallyvox_second.monitor"); }));
    EXPECT_TRUE(log.contains("Output device changed; rebuilding capture"));
    std::system(("paplay '" + second.wav + "'").c_str());
    EXPECT_TRUE(waitFor(15, [&] { return collect(samples); }));
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

// A sound server of the test's own, so killing it leaves the shared one alone.
class PrivateServer {
public:
    explicit PrivateServer(const std::filesystem::path& dir)
        : dir_(dir) {
        std::filesystem::create_directories(dir_ / "runtime");
        std::filesystem::permissions(dir_ / "runtime", std::filesystem::perms::owner_all);
    }
    ~PrivateServer() {
        pause(false);
        kill();
    }
    // Stops (or continues) the server's process: it hangs without closing its sockets.
    void pause(bool stopped) {
        if (pid_ > 0)
            ::kill(pid_, stopped ? SIGSTOP : SIGCONT);
    }
    std::string address() const { return "unix:" + (dir_ / "runtime/pulse/native").string(); }
    std::string log() const { return run("tail -20 '" + (dir_ / "server.log").string() + "'"); }
    bool start() {
        const char* config = std::getenv("TALLYVOX_SOUND_SERVER_CONFIG");
        if (!config)
            return false;
        auto pid =
            run("XDG_RUNTIME_DIR='" + (dir_ / "runtime").string() + "' HOME='" + dir_.string() +
                "' pulseaudio -n -F '" + config +
                "' --daemonize=no --exit-idle-time=-1 --use-pid-file=no --log-target=file:'" +
                (dir_ / "server.log").string() + "' >/dev/null 2>&1 & echo $!");
        pid_ = std::atoi(pid.c_str());
        return waitFor(30, [&] {
            return std::system(
                       ("PULSE_SERVER='" + address() + "' pactl info >/dev/null 2>&1").c_str()) ==
                   0;
        });
    }
    void kill() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        if (!waitFor(10, [&] { return !alive(); }))
            ::kill(pid_, SIGKILL);
        pid_ = 0;
    }

private:
    // Orphans are reaped by whoever adopted them, maybe never: a zombie counts as gone.
    bool alive() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            return false;
        auto close = line.rfind(')');
        return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
    }

    std::filesystem::path dir_;
    int pid_ = 0;
};

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
        ASSERT_TRUE(waitFor(15, [&] { return capture->stats().receivedSeconds > 0.2; }))
            << server.log();
        server.kill();
    }
    ASSERT_TRUE(server.start()) << server.log();
    auto restarted = std::chrono::steady_clock::now();
    Tone tone(dir.path(), 30);
    EXPECT_TRUE(waitFor(10, [&] { return log.contains("Capture rebuilt"); }));
    double rebuiltAfter =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - restarted).count();
    double before = capture->stats().receivedSeconds;
    EXPECT_TRUE(waitFor(20, [&] { return capture->stats().receivedSeconds > before + 0.5; }))
        << "rebuilt after " << rebuiltAfter << " s, but no audio since";
    main.sync([&] { capture->stop(); });
    EXPECT_TRUE(log.contains("Capture stream ended (Connection terminated); rebuilding capture"));
}

TEST(CaptureIntegration, MicFallsBackToTheDefaultInputWhenItsSourceDisappears) {
    REQUIRE_SOUND_SERVER();
    auto module = run("pactl load-module module-remap-source master=tallyvox_speakers.monitor "
                      "source_name=tallyvox_meeting_mic "
                      "source_properties=device.description=MeetingHeadset");
    ASSERT_FALSE(module.empty());

    MainThread main;
    auto mic = main.sync([&] {
        auto made = MicCapture::make(std::make_shared<PulseMicInput>(), main.loop);
        made->meetingDevice = [] { return std::optional<std::string>("tallyvox_meeting_mic"); };
        made->start(std::nullopt);
        return made;
    });
    EXPECT_TRUE(waitFor(15, [&] { return main.sync([&] { return mic->isRunning(); }); }));
    EXPECT_EQ(main.sync([&] { return *mic->deviceDescription(); }),
              "MeetingHeadset (the one the meeting uses)");
    testing::TempDir dir;
    Tone tone(dir.path(), 30);
    EXPECT_TRUE(waitFor(15, [&] { return mic->counts().received > 0.2; }));
    std::system(("pactl unload-module " + module).c_str());

    EXPECT_TRUE(
        waitFor(15, [&] { return main.sync([&] { return mic->isRunning() && !mic->device(); }); }));
    mic->drain();
    std::size_t drained = 0;
    EXPECT_TRUE(waitFor(15, [&] {
        drained += mic->drain().size();
        return drained > 8000;
    }));
    EXPECT_EQ(main.sync([&] { return *mic->deviceDescription(); }),
              "Microphone (system default input)");
    main.sync([&] { mic->stop(); });
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
        return waitFor(15, [&] {
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
    EXPECT_TRUE(waitFor(15, [&] { return collect() >= firstHalf * 0.95; }))
        << soundSeconds(samples) << " of " << firstHalf;
    std::uint32_t index = 0;
    for (const auto& stream : streams.streams())
        if (stream.pid == appPid)
            index = stream.index;
    std::system(("pactl move-sink-input " + std::to_string(index) + " tallyvox_dock").c_str());
    EXPECT_TRUE(recording("tallyvox_dock"));
    EXPECT_TRUE(say(second));
    waitFor(15, [&] { return collect() >= played * 0.95; });
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
    EXPECT_TRUE(waitFor(15, [&] {
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
    ASSERT_TRUE(waitFor(15, [] { return configuredLatency("tallyvox_speakers") > 0; }));
    const long before = configuredLatency("tallyvox_speakers");

    MainThread main;
    auto capture = startCapture(main);
    EXPECT_TRUE(waitFor(15, [&] { return capture->stats().receivedSeconds > 1; }));
    const long during = configuredLatency("tallyvox_speakers");
    main.sync([&] { capture->stop(); });

    EXPECT_GE(during, before) << "before " << before << " usec";
}

// With no real input the server offers an output's monitor as the default source; the
// microphone refuses it instead of transcribing the meeting a second time as the user.
TEST(CaptureIntegration, MicRefusesAnOutputsMonitor) {
    REQUIRE_SOUND_SERVER();
    auto original = run("pactl get-default-source");
    ASSERT_EQ(std::system("pactl set-default-source tallyvox_speakers.monitor"), 0);
    struct Restore {
        std::string source;
        ~Restore() { std::system(("pactl set-default-source '" + source + "'").c_str()); }
    } restore{original};

    MainThread main;
    std::promise<std::string> failure;
    auto mic = main.sync([&] {
        auto made = MicCapture::make(std::make_shared<PulseMicInput>(), main.loop);
        made->onFailure = [&failure](const Error& e) { failure.set_value(e.what()); };
        made->start(std::nullopt);
        return made;
    });
    auto answer = failure.get_future();
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(15)), std::future_status::ready);
    EXPECT_EQ(answer.get(), PulseMicInput::monitorRefused("Monitor of Speakers"));
    EXPECT_FALSE(main.sync([&] { return mic->isRunning(); }));
    main.sync([&] { mic->stop(); });
}

// A server that hangs (stopped, not dead) never holds up the main thread: the stream is
// built on the connection's thread and comes up once the server answers again.
TEST(CaptureIntegration, HungServerNeverHoldsUpTheMainThread) {
    REQUIRE_SOUND_SERVER();
    testing::TempDir dir;
    PrivateServer server(dir.path());
    ASSERT_TRUE(server.start()) << server.log();
    testing::ScopedEnv env("PULSE_SERVER", server.address());
    server.pause(true);

    MainThread main;
    std::vector<std::string> failures;
    auto capture = main.sync([&] {
        auto made = TapCapture::make(std::make_shared<PulseOutputTap>(), main.loop);
        made->onFailure = [&failures](const Error& e) { failures.push_back(e.what()); };
        made->start(consent());
        return made;
    });
    // Had start() waited for the server, it would have failed by now.
    EXPECT_TRUE(main.sync([&] { return capture->isStarting(); }));
    EXPECT_TRUE(main.sync([&] { return capture->stats().format.empty(); }));
    server.pause(false);

    EXPECT_TRUE(waitFor(
        15, [&] { return main.sync([&] { return capture->recordedOutput().has_value(); }); }));
    Tone tone(dir.path(), 30);
    EXPECT_TRUE(waitFor(15, [&] { return capture->stats().receivedSeconds > 0.5; }));
    main.sync([&] { capture->stop(); });
    EXPECT_TRUE(main.sync([&] { return failures; }).empty());
}

// The platform services make one connection to the server for meeting audio, microphone,
// detection and the output check, with one record stream each for the tap and the
// microphone. Closing the microphone's stream leaves the tap recording.
TEST(CaptureIntegration, PlatformServicesShareOneConnectionAndTheMicClosesAlone) {
    REQUIRE_SOUND_SERVER();
    testing::TempDir dir;
    MainThread main;
    auto services = linux_services::linuxPlatformServices(main.loop, Clock::system(), "/bin/true");
    DetectionChoices everything{.enabled = [] { return true; },
                                .watches = [](Platform) { return true; },
                                .observe = [](std::function<void()>) { return Subscription(); },
                                .web = [] { return true; }};
    auto detection = main.sync([&] { return services.makeDetection(everything); });
    auto capture = main.sync([&] {
        auto made = services.makeCapture();
        made->start(consent());
        return made;
    });
    auto mic = main.sync([&] {
        auto made = services.makeMic();
        made->start(std::nullopt);
        return made;
    });
    services.outputIsBuiltInSpeakers();
    Tone tone(dir.path(), 30);
    EXPECT_TRUE(waitFor(15, [&] {
        return capture->stats().receivedSeconds > 0.3 && mic->counts().received > 0.3;
    }));
    EXPECT_TRUE(waitFor(15, [] { return ours("clients") == 1 && ours("source-outputs") == 2; }))
        << ours("clients") << " clients, " << ours("source-outputs") << " record streams";

    main.sync([&] { mic->stop(); });
    EXPECT_TRUE(waitFor(15, [] { return ours("source-outputs") == 1; }));
    const double before = capture->stats().receivedSeconds;
    EXPECT_TRUE(waitFor(15, [&] { return capture->stats().receivedSeconds > before + 1; }));
    EXPECT_EQ(ours("clients"), 1);
    main.sync([&] {
        capture->stop();
        detection.reset();
    });
}

// The server goes away and comes back: the one connection is made again in one place, and
// the list, meeting audio and the microphone all run on it once more.
TEST(CaptureIntegration, SharedConnectionComesBackWholeAfterTheServerRestarts) {
    REQUIRE_SOUND_SERVER();
    testing::TempDir dir;
    PrivateServer server(dir.path());
    ASSERT_TRUE(server.start()) << server.log();
    testing::ScopedEnv env("PULSE_SERVER", server.address());
    MainThread main;
    OneClient client(main);
    ASSERT_TRUE(waitFor(15, [&] { return client.running() && client.streams.isConnected(); }))
        << server.log();

    server.kill();
    EXPECT_TRUE(waitFor(10, [&] { return !client.streams.isConnected(); }));
    EXPECT_TRUE(client.streams.streams().empty());
    ASSERT_TRUE(server.start()) << server.log();
    Tone tone(dir.path(), 30);
    EXPECT_TRUE(waitFor(15, [&] { return lists(client.streams, "paplay"); }));
    const double tapBefore = client.capture->stats().receivedSeconds;
    const double micBefore = client.mic->counts().received;
    EXPECT_TRUE(waitFor(20, [&] {
        return client.capture->stats().receivedSeconds > tapBefore + 0.5 &&
               client.mic->counts().received > micBefore + 0.5;
    })) << server.log();
    client.speakers(); // asks on the same connection
    EXPECT_EQ(ours("clients"), 1);
    EXPECT_EQ(ours("source-outputs"), 2);
}

} // namespace
} // namespace tallyvox

#pragma once

// What the tests of meeting audio and of the shared connection on the real sound server share.

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

#include "SoundServerRequired.h"
#include "Waiting.h"

namespace tallyvox::testing {

inline std::string run(const std::string& command) {
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

// PipeWire's PulseAudio server, which resumes a suspended output for a recording of its
// monitor and shows no configured latency, where PulseAudio does both.
inline bool onPipeWire() {
    const char* kind = std::getenv("TALLYVOX_SOUND_SERVER");
    return kind && std::string(kind) == "pipewire";
}

// The capture keeps the server's own rate and channels: 44.1 kHz on PulseAudio, 48 kHz on
// PipeWire, stereo on both.
inline std::string serverFormat() {
    const auto rate =
        run("pactl info | sed -n 's/^Default Sample [A-Za-z]*: .* \\([0-9]*\\)Hz$/\\1/p'");
    return rate + " Hz, 2 ch";
}

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

inline Speech speech(const std::filesystem::path& dir, const std::string& name,
                     const std::string& text) {
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
inline double soundSeconds(const std::vector<float>& samples) {
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
inline double energy(const std::vector<float>& samples) {
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
inline bool heardToTheEnd(const std::vector<float>& samples) {
    constexpr std::size_t silence = 16000 * 8 / 10;
    return samples.size() > silence && soundSeconds(samples) > 0.5 &&
           soundSeconds({samples.end() - silence, samples.end()}) == 0;
}

// Where the speech is, a mark a tenth of a second: what a failure shows.
inline std::string marks(const std::vector<float>& samples) {
    std::string out;
    for (std::size_t at = 0; at + 1600 <= samples.size(); at += 1600)
        out += soundSeconds({samples.begin() + at, samples.begin() + at + 1600}) > 0.05 ? '#' : '.';
    return out;
}

inline std::string lines(const Log::Capture& log) {
    std::string out;
    for (const auto& line : log.texts())
        out += "\n" + line;
    return out;
}

// Waiting.h's wait, four times over: every wait here is for something the server or the
// capture must do, and its limit only catches what never happens. A busy machine (a parallel
// build, a loaded CI runner) makes them slow, never wrong.
template <class Done> bool waitForServer(double seconds, Done done) {
    constexpr double slowMachine = 4;
    return waitFor(seconds * slowMachine, std::move(done));
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

inline ConsentRecord consent() {
    ConsentRecord c;
    c.meetingID = "Zoom-1";
    return c;
}

// Whether some log line starts with `prefix`.
inline bool logged(const Log::Capture& log, const std::string& prefix) {
    for (const auto& text : log.texts())
        if (text.rfind(prefix, 0) == 0)
            return true;
    return false;
}

// Meeting audio on the real sound server, started and waited for until it records.
inline std::shared_ptr<TapCapture>
startCapture(MainThread& main,
             std::function<std::optional<std::uint32_t>()> meetingOutput = nullptr) {
    auto capture = main.sync([&] {
        auto made = TapCapture::make(std::make_shared<PulseOutputTap>(), main.loop);
        made->meetingOutput = std::move(meetingOutput);
        made->start(consent());
        return made;
    });
    waitForServer(15,
                  [&] { return main.sync([&] { return capture->recordedOutput().has_value(); }); });
    return capture;
}

// How many of `what` ("clients", "source-outputs") on the server belong to this process.
inline int ours(const std::string& what) {
    return std::atoi(run("pactl list " + what + " | grep -c 'application.process.id = \"" +
                         std::to_string(::getpid()) + "\"'")
                         .c_str());
}

// Whether detection's list shows the application `name` playing.
inline bool lists(const PulseProcessList& streams, const std::string& name) {
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

inline std::uint32_t sinkIndex(const std::string& name) {
    return static_cast<std::uint32_t>(std::atoi(
        run("pactl list short sinks | awk '$2 == \"" + name + "\" { print $1 }'").c_str()));
}

// The latency the server runs `sink` at, in microseconds.
inline long configuredLatency(const std::string& sink) {
    return std::atol(run("pactl list sinks | awk '/Name: " + sink +
                         "$/ { found = 1 } found && /configured/ { print $(NF-1); exit }'")
                         .c_str());
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
        return waitForServer(30, [&] {
            return std::system(
                       ("PULSE_SERVER='" + address() + "' pactl info >/dev/null 2>&1").c_str()) ==
                   0;
        });
    }
    void kill() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        if (!waitForServer(10, [&] { return !alive(); }))
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

} // namespace tallyvox::testing

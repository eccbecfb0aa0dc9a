// The meeting-audio capture path per second of 48 kHz stereo: each stream callback's buffer
// copied out as the sound-server thread does, handed to the capture queue, rate-tracked,
// down-mixed, resampled to 16 kHz, measured and buffered, then drained as the engine does.
#include "audio/TapCapture.h"
#include "base/SerialQueue.h"

#include <benchmark/benchmark.h>

#include <algorithm>

#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

namespace {

using namespace tallyvox;

constexpr double inputRate = 48000;
constexpr int channels = 2;

// Runs posted work at once; timers (the watchdog) never come due.
class InlineExecutor : public Executor {
protected:
    void schedule(Duration delay, Task task) override {
        if (delay <= Duration::zero())
            task();
    }
};

// Hands the benchmark the handlers a stream would call.
class BenchTap : public OutputTap {
public:
    void open(std::optional<std::uint32_t>, Handlers h) override {
        handlers = std::move(h);
        if (handlers.opened)
            handlers.opened({{inputRate, channels}, 0});
    }
    void close() override {}
    Handlers handlers;
};

// A clock whose uptime follows the audio, so the rate tracker sees a steady 48 kHz.
class AudioClock : public Clock {
public:
    SystemTime now() const override {
        return SystemTime(std::chrono::milliseconds(1'700'000'000'000));
    }
    double uptime() const override { return seconds; }
    double seconds = 0;
};

// One second of something speech-like: two voices' worth of partials and a little noise.
std::vector<float> secondOfSound() {
    std::vector<float> out(static_cast<std::size_t>(inputRate) * channels);
    unsigned noise = 12345;
    for (std::size_t f = 0; f < out.size() / channels; ++f) {
        double t = static_cast<double>(f) / inputRate;
        noise = noise * 1103515245u + 12345u;
        double n = (static_cast<double>(noise >> 16 & 0x7fff) / 32768.0 - 0.5) * 0.02;
        out[f * 2] = static_cast<float>(0.2 * std::sin(2 * M_PI * 180 * t) + n);
        out[f * 2 + 1] = static_cast<float>(0.15 * std::sin(2 * M_PI * 1230 * t) + n);
    }
    return out;
}

struct Rig {
    explicit Rig(std::shared_ptr<Executor> queue)
        : capture(TapCapture::make(tap, main, std::move(queue), clock)) {
        ConsentRecord consent;
        consent.meetingID = "Zoom-1";
        capture->start(consent);
    }
    ~Rig() { capture->stop(); }

    // One second of audio in callbacks of `fragmentMs`, as the server's thread delivers it.
    void deliverSecond(const std::vector<float>& sound, int fragmentMs) {
        const std::size_t frames = static_cast<std::size_t>(inputRate) * fragmentMs / 1000;
        for (std::size_t at = 0; at < sound.size(); at += frames * channels) {
            // The last fragment of a second may be short (150 ms does not divide it).
            const std::size_t end = std::min(sound.size(), at + frames * channels);
            clock.seconds += static_cast<double>(end - at) / channels / inputRate;
            tap->handlers.audio(std::vector<float>(sound.begin() + static_cast<long>(at),
                                                   sound.begin() + static_cast<long>(end)));
        }
    }

    AudioClock clock;
    InlineExecutor main;
    std::shared_ptr<BenchTap> tap = std::make_shared<BenchTap>();
    std::shared_ptr<TapCapture> capture;
};

// The work itself, run where it is posted: CPU time per second of audio (so 10 ms is 1 % of
// one core).
void BM_CaptureSecondInline(benchmark::State& state) {
    const int fragmentMs = static_cast<int>(state.range(0));
    const auto sound = secondOfSound();
    Rig rig(std::make_shared<InlineExecutor>());
    std::size_t drained = 0;
    for (auto _ : state) {
        rig.deliverSecond(sound, fragmentMs);
        drained += rig.capture->drain().size();
    }
    state.counters["samples_out"] =
        benchmark::Counter(static_cast<double>(drained) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_CaptureSecondInline)->Arg(150)->Arg(20)->Unit(benchmark::kMicrosecond);

// The same through the real capture queue's thread, as the product runs it; the process's
// CPU time on all threads counts.
void BM_CaptureSecondThroughQueue(benchmark::State& state) {
    const int fragmentMs = static_cast<int>(state.range(0));
    const auto sound = secondOfSound();
    auto queue = std::make_shared<SerialQueue>("com.tallyvox.capture");
    Rig rig(queue);
    for (auto _ : state) {
        rig.deliverSecond(sound, fragmentMs);
        queue->sync([] {});
        benchmark::DoNotOptimize(rig.capture->drain());
    }
}
BENCHMARK(BM_CaptureSecondThroughQueue)
    ->Arg(150)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();

// Engine bookkeeping per window with a recogniser that costs nothing: what the engine itself
// adds to every 20 s window (buffering, cutting, dedup, levels, turn joining).
#include "transcription/TranscriptionEngine.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using namespace tallyvox;

constexpr double windowSeconds = 20;
constexpr size_t windowSamples = static_cast<size_t>(windowSeconds * 16000);

// Runs posted work when asked; the one-second tick is never due, windows come from flush().
class InlineQueue : public Executor {
public:
    void runPosted() {
        while (!posted_.empty()) {
            auto tasks = std::move(posted_);
            posted_.clear();
            for (auto& task : tasks)
                task();
        }
    }

protected:
    void schedule(Duration delay, Task task) override {
        if (delay <= Duration::zero())
            posted_.push_back(std::move(task));
    }

private:
    std::vector<Task> posted_;
};

// Six lines of eight words with timings and six speech ranges per window, answered at once.
class FreeRecognizer : public Recognizer {
public:
    FreeRecognizer() {
        int word = 0;
        for (int line = 0; line < 6; ++line) {
            double start = 0.2 + line * 3.2;
            WhisperSegment segment{start, start + 3.0, "", {}};
            for (int i = 0; i < 8; ++i) {
                std::string text = " word" + std::to_string(word++ % 50);
                segment.words.push_back({start + i * 0.375, start + (i + 1) * 0.375, text});
                segment.text += text;
            }
            segment.text.erase(0, 1);
            segments_.push_back(std::move(segment));
            speech_.push_back({start, start + 3.0});
        }
    }
    std::optional<std::vector<SpeechRange>> speech(std::span<const float>) override {
        return speech_;
    }
    std::vector<WhisperSegment> transcribe(std::span<const float>, const std::string&,
                                           const std::string&) override {
        return segments_;
    }
    std::map<std::string, float> languageProbabilities(std::span<const float>,
                                                       const std::vector<std::string>&) override {
        return {};
    }

private:
    std::vector<WhisperSegment> segments_;
    std::vector<SpeechRange> speech_;
};

void runWindows(benchmark::State& state, bool mic) {
    auto queue = std::make_shared<InlineQueue>();
    std::vector<float> chunk(windowSamples);
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = 0.2f * static_cast<float>(std::sin(static_cast<double>(i) * 0.05));
    double now = 0;
    size_t lines = 0;

    TranscriptionEngine::Source source;
    source.name = mic ? "your microphone" : "meeting audio";
    source.isMic = mic;
    if (mic)
        source.speaker = TranscriptSegment::you;
    source.drain = [&] { return chunk; };

    EngineOptions options;
    options.language = "en";
    options.diarize = false;
    TranscriptionEngine::Dependencies deps;
    deps.queue = queue;
    deps.loadRecognizer = [](WhisperModel) { return std::make_unique<FreeRecognizer>(); };
    auto engine = TranscriptionEngine::make(
        {source}, options, [&] { return now; },
        [&](std::vector<TranscriptSegment> out) { lines += out.size(); }, deps);
    engine->start(nullptr);
    queue->runPosted();

    for (auto _ : state) {
        now += windowSeconds;
        engine->flush(); // pulls 20 s and runs it as one window
        queue->runPosted();
    }
    benchmark::DoNotOptimize(lines);
    state.counters["lines/window"] =
        benchmark::Counter(static_cast<double>(lines) / static_cast<double>(state.iterations()));
    engine->stop(nullptr);
    queue->runPosted();
}

void BM_MeetingWindow20s(benchmark::State& state) {
    runWindows(state, false);
}
void BM_MicrophoneWindow20s(benchmark::State& state) {
    runWindows(state, true);
}

BENCHMARK(BM_MeetingWindow20s)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_MicrophoneWindow20s)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

} // namespace

BENCHMARK_MAIN();

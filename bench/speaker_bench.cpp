// One 10 s row through the speaker embedder: filter banks, the ResNet and pooling. The narrow
// test network always runs; the full-width one when the published file is in the models
// folder, or any file of that architecture at $TALLYVOX_SPEAKER_MODEL (such as the random
// network `tools/make_speaker_fixture.py --full` writes).
#include "speakers/Fbank.h"
#include "speakers/SpeakerEmbedder.h"
#include "types/SpeakerModels.h"

#include "speakers/SpeakerFixtures.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

using namespace tallyvox;

void embedOneRow(benchmark::State& state, SpeakerEmbedder& embedder) {
    std::vector<std::vector<float>> rows{testing::fixtureSpeech()};
    for (auto _ : state)
        benchmark::DoNotOptimize(embedder.embed(rows));
    state.SetLabel(std::to_string(embedder.width()) + " channels wide");
}

void BM_SpeakerFbankRow(benchmark::State& state) {
    Fbank fbank;
    auto speech = testing::fixtureSpeech();
    for (auto _ : state)
        benchmark::DoNotOptimize(fbank.compute(speech));
}
BENCHMARK(BM_SpeakerFbankRow)->Unit(benchmark::kMillisecond);

void BM_SpeakerRowNarrow(benchmark::State& state) {
    auto embedder = SpeakerEmbedder::loadUnpinned(testing::speakerFixture("speaker_tiny.onnx"));
    embedOneRow(state, *embedder);
}
BENCHMARK(BM_SpeakerRowNarrow)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SpeakerRowFull(benchmark::State& state) {
    std::unique_ptr<SpeakerEmbedder> embedder;
    if (const char* given = std::getenv("TALLYVOX_SPEAKER_MODEL"))
        embedder = SpeakerEmbedder::loadUnpinned(given);
    else if (SpeakerModels::isDownloaded())
        embedder = SpeakerEmbedder::load(SpeakerModels::localPath());
    if (!embedder) {
        state.SkipWithError("no full-width speaker model");
        return;
    }
    embedOneRow(state, *embedder);
}
BENCHMARK(BM_SpeakerRowFull)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

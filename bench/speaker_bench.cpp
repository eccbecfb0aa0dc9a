// One 10 s row through the speaker embedder: filter banks, the ResNet and pooling. The narrow
// test network always runs; the published one when it is in the models folder (or at
// $TALLYVOX_SPEAKER_MODEL).
#include "speakers/Fbank.h"
#include "speakers/SpeakerEmbedder.h"
#include "speakers/SpeakerModels.h"

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

void BM_SpeakerRowPublished(benchmark::State& state) {
    const char* given = std::getenv("TALLYVOX_SPEAKER_MODEL");
    std::filesystem::path file = given ? given : SpeakerModels::localURL();
    if (!SpeakerModels::isDownloaded(file)) {
        state.SkipWithError("no published speaker model");
        return;
    }
    auto embedder = SpeakerEmbedder::load(file);
    embedOneRow(state, *embedder);
}
BENCHMARK(BM_SpeakerRowPublished)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

// The browsers' session readers on growing inputs, plain and hostile: the time per input must
// grow in proportion to its size (Google Benchmark fits the complexity; expect O(N)).
#include "detection/SessionFileWriters.h"
#include "detection/linux/BrowserSessionFormats.h"

#include <benchmark/benchmark.h>

namespace {

using namespace tallyvox;
using tallyvox::testing::mozLz4;
using tallyvox::testing::SnssWriter;
namespace Formats = BrowserSessionFormats;

// N navigations in one tab, each followed by a middle prune past its end, which removes
// nothing (the shape that once copied the tab's entries on every prune).
void BM_SnssNoOpPrunes(benchmark::State& state) {
    const auto n = static_cast<std::int32_t>(state.range(0));
    SnssWriter writer;
    for (std::int32_t i = 0; i < n; ++i)
        writer.navigation(1, i, "https://p" + std::to_string(i) + ".example/").pruned(1, i + 1, 1);
    const auto file = writer.bytes();
    for (auto _ : state)
        benchmark::DoNotOptimize(Formats::chromiumOpenTabs(file));
    state.SetComplexityN(n);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.size()));
}
BENCHMARK(BM_SnssNoOpPrunes)
    ->RangeMultiplier(4)
    ->Range(1 << 10, 1 << 16)
    ->Complexity(benchmark::oN);

// N ordinary tabs of three entries each, one selected.
void BM_SnssTabs(benchmark::State& state) {
    const auto n = static_cast<std::int32_t>(state.range(0));
    SnssWriter writer;
    for (std::int32_t tab = 0; tab < n; ++tab)
        writer.tabWindow(1, tab)
            .navigation(tab, 0, "https://a.example/")
            .navigation(tab, 1, "https://meet.google.com/abc-defg-hij")
            .navigation(tab, 2, "https://b.example/")
            .selected(tab, 1);
    const auto file = writer.bytes();
    for (auto _ : state)
        benchmark::DoNotOptimize(Formats::chromiumOpenTabs(file));
    state.SetComplexityN(n);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.size()));
}
BENCHMARK(BM_SnssTabs)->RangeMultiplier(4)->Range(1 << 8, 1 << 14)->Complexity(benchmark::oN);

// A mozLz4 store holding N empty objects beside a Meet tab, decompressed and read.
void BM_FirefoxEmptyObjects(benchmark::State& state) {
    const auto n = state.range(0);
    std::string json = R"({"windows":[{"tabs":[{"entries":[{"url":"https://meet.google.com/)"
                       R"(abc-defg-hij"}],"index":1,"junk":[)";
    for (std::int64_t i = 0; i < n; ++i)
        json += i ? ",{}" : "{}";
    json += "]}]}]}";
    const auto file = mozLz4(json);
    for (auto _ : state)
        benchmark::DoNotOptimize(Formats::firefoxOpenTabs(Formats::mozLz4Decompress(file)));
    state.SetComplexityN(n);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * json.size()));
}
BENCHMARK(BM_FirefoxEmptyObjects)
    ->RangeMultiplier(4)
    ->Range(1 << 12, 1 << 20)
    ->Complexity(benchmark::oN);

// A mozLz4 store of N ordinary tabs with two entries and some of the fields Firefox writes.
void BM_FirefoxTabs(benchmark::State& state) {
    const auto n = state.range(0);
    std::string json = R"({"version":["sessionrestore",1],"windows":[{"tabs":[)";
    for (std::int64_t i = 0; i < n; ++i) {
        json += i ? "," : "";
        json += R"({"entries":[{"url":"https://a.example/","title":"A","ID":1,"persist":true},)"
                R"({"url":"https://teams.live.com/","title":"Teams","ID":2,"persist":true}],)"
                R"("lastAccessed":1796558400000,"hidden":false,"attributes":{},"index":2})";
    }
    json += R"(],"selected":1}],"_closedWindows":[],"session":{"lastUpdate":1796558400000}})";
    const auto file = mozLz4(json);
    for (auto _ : state)
        benchmark::DoNotOptimize(Formats::firefoxOpenTabs(Formats::mozLz4Decompress(file)));
    state.SetComplexityN(n);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * json.size()));
}
BENCHMARK(BM_FirefoxTabs)->RangeMultiplier(4)->Range(1 << 8, 1 << 14)->Complexity(benchmark::oN);

} // namespace

BENCHMARK_MAIN();

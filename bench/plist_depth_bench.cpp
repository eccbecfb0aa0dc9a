// What reading a property list costs when its text is built to defeat the nesting check:
// closing tags hidden in a comment ahead of deep nesting (refused), and a document with a
// comment beside every entry (read). Both should grow linearly with the size of the text.
#include "settings/PlistValue.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

std::string repeated(std::string_view piece, std::int64_t times) {
    std::string text;
    text.reserve(piece.size() * static_cast<size_t>(times));
    for (std::int64_t i = 0; i < times; ++i)
        text += piece;
    return text;
}

void BM_HiddenClosesThenDeepNesting(benchmark::State& state) {
    const auto n = state.range(0);
    const std::string xml =
        "<!-- " + repeated("</array>", n) + " --><plist>" + repeated("<array>", n) + "</plist>";
    for (auto _ : state)
        benchmark::DoNotOptimize(tallyvox::PlistValue::fromXml(xml));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(xml.size()));
}

void BM_CommentBesideEveryEntry(benchmark::State& state) {
    const auto n = state.range(0);
    const std::string xml = "<plist><array>" +
                            repeated("<!-- <array></array> --><string>x</string>", n) +
                            "</array></plist>";
    for (auto _ : state)
        benchmark::DoNotOptimize(tallyvox::PlistValue::fromXml(xml));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(xml.size()));
}

} // namespace

BENCHMARK(BM_HiddenClosesThenDeepNesting)->RangeMultiplier(10)->Range(1000, 1000000);
BENCHMARK(BM_CommentBesideEveryEntry)->RangeMultiplier(10)->Range(1000, 100000);
BENCHMARK_MAIN();

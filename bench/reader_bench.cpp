// Time of the saved-transcript reader and the speaker model reader against input size, for
// ordinary files and for the shapes a crafted file would take. Each must stay linear: these
// files come from disk, where anyone with the user's files can edit them.
#include "speakers/OnnxModel.h"
#include "transcripts/TranscriptReader.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace {

using namespace tallyvox;

const std::string header = "Meeting: Design review\nPlatform: Microsoft Teams\n"
                           "Date: 6 December 2026\nStart: 2:05 PM\n"
                           "Consent: Confirmed by user at 2:04 PM\n\n";

std::string turns(std::int64_t bytes) {
    std::string text = header;
    for (int k = 0; static_cast<std::int64_t>(text.size()) < bytes; ++k)
        text += "[00:" + std::to_string(10 + k / 60 % 50) + ":" + std::to_string(10 + k % 50) +
                "] Sam:\nWe moved the budget review to Thursday.\n\n";
    return text;
}

// Headings that almost parse, blank lines and brackets: the worst the line splitter and the
// heading test meet.
std::string nearHeadings(std::int64_t bytes) {
    std::string text = header;
    while (static_cast<std::int64_t>(text.size()) < bytes)
        text += "\n[000000000000:99:9] :\n[\n\n";
    return text;
}

// One line with no break at all.
std::string oneLine(std::int64_t bytes) {
    return header + "[00:00:01] Sam:\n" + std::string(static_cast<std::size_t>(bytes), 'a');
}

template <std::string (*make)(std::int64_t)> void BM_TranscriptParse(benchmark::State& state) {
    const auto text = make(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(TranscriptReader::parse(text));
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK_TEMPLATE(BM_TranscriptParse, turns)
    ->RangeMultiplier(4)
    ->Range(1 << 14, 1 << 24)
    ->Complexity(benchmark::oN);
BENCHMARK_TEMPLATE(BM_TranscriptParse, nearHeadings)
    ->RangeMultiplier(4)
    ->Range(1 << 14, 1 << 24)
    ->Complexity(benchmark::oN);
BENCHMARK_TEMPLATE(BM_TranscriptParse, oneLine)
    ->RangeMultiplier(4)
    ->Range(1 << 14, 1 << 24)
    ->Complexity(benchmark::oN);

void varint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out += static_cast<char>(value | 0x80);
        value >>= 7;
    }
    out += static_cast<char>(value);
}

void field(std::string& out, int number, const std::string& bytes) {
    varint(out, static_cast<std::uint64_t>(number) << 3 | 2);
    varint(out, bytes.size());
    out += bytes;
}

// A graph of many small nodes, each with an input, an output and an integer attribute.
std::string manyNodes(std::int64_t bytes) {
    std::string graph;
    while (static_cast<std::int64_t>(graph.size()) < bytes) {
        std::string node, attribute;
        field(node, 1, "x");
        field(node, 2, "y");
        field(node, 4, "Relu");
        field(attribute, 1, "axis");
        varint(attribute, 3 << 3);
        varint(attribute, 1);
        field(node, 5, attribute);
        field(graph, 1, node);
    }
    std::string model;
    field(model, 7, graph);
    return model;
}

// Nodes made of nothing but unknown fields, which the reader skips.
std::string unknownFields(std::int64_t bytes) {
    std::string node;
    while (static_cast<std::int64_t>(node.size()) < bytes)
        field(node, 99, "");
    std::string graph, model;
    field(graph, 1, node);
    field(model, 7, graph);
    return model;
}

// One initializer of packed floats.
std::string packedFloats(std::int64_t bytes) {
    std::string tensor;
    varint(tensor, 1 << 3);
    varint(tensor, static_cast<std::uint64_t>(bytes / 4));
    varint(tensor, 2 << 3);
    varint(tensor, 1);
    field(tensor, 8, "w");
    field(tensor, 4, std::string(static_cast<std::size_t>(bytes / 4 * 4), '\0'));
    std::string graph, model;
    field(graph, 5, tensor);
    field(model, 7, graph);
    return model;
}

template <std::string (*make)(std::int64_t)> void BM_OnnxParse(benchmark::State& state) {
    const auto text = make(state.range(0));
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    for (auto _ : state)
        benchmark::DoNotOptimize(onnx::parse(bytes));
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK_TEMPLATE(BM_OnnxParse, manyNodes)
    ->RangeMultiplier(4)
    ->Range(1 << 14, 1 << 24)
    ->Complexity(benchmark::oN);
BENCHMARK_TEMPLATE(BM_OnnxParse, unknownFields)
    ->RangeMultiplier(4)
    ->Range(1 << 14, 1 << 24)
    ->Complexity(benchmark::oN);
BENCHMARK_TEMPLATE(BM_OnnxParse, packedFloats)
    ->RangeMultiplier(4)
    ->Range(1 << 14, 1 << 24)
    ->Complexity(benchmark::oN);

} // namespace

BENCHMARK_MAIN();

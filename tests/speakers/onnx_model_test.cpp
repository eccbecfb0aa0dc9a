#include "SpeakerFixtures.h"
#include "base/Error.h"
#include "speakers/OnnxModel.h"
#include "speakers/SpeakerWeights.h"

#include <gtest/gtest.h>

#include <random>

using namespace tallyvox;
using tallyvox::testing::readRaw;
using tallyvox::testing::speakerFixture;

namespace {

onnx::Graph tinyGraph() {
    auto bytes = readRaw<std::uint8_t>(speakerFixture("speaker_tiny.onnx"));
    return onnx::parse(bytes);
}

std::string refusal(const onnx::Graph& graph) {
    try {
        SpeakerWeights::from(graph);
    } catch (const Error& e) {
        return e.what();
    }
    return "accepted";
}

} // namespace

TEST(SpeakerOnnx, ReadsTheNarrowNetworkThroughThePublishedLayout) {
    auto weights = SpeakerWeights::from(tinyGraph());
    EXPECT_EQ(weights.width, 8);
    EXPECT_EQ(weights.channels(), 64);
    EXPECT_EQ(weights.statsSize(), 1280);
    EXPECT_EQ(weights.embeddingSize, 32);
    ASSERT_EQ(weights.blocks.size(), 16u);
    int shortcuts = 0;
    for (const auto& block : weights.blocks)
        shortcuts += block.shortcut ? 1 : 0;
    EXPECT_EQ(shortcuts, 3);
    EXPECT_EQ(weights.blocks[3].first.stride, 2);
    EXPECT_EQ(weights.blocks[3].first.in, 8);
    EXPECT_EQ(weights.blocks[15].second.out, 64);
    EXPECT_EQ(weights.linear.size(), 32u * 1280u);
}

TEST(SpeakerOnnx, FoldsABatchNormTheExportKept) {
    auto graph = tinyGraph();
    auto folded = SpeakerWeights::from(graph);
    // Undo the fold of the first convolution: half the kernel, no bias, and a batch norm
    // with scale 2 and a non-zero mean that its shift makes up for.
    auto first = std::find_if(graph.nodes.begin(), graph.nodes.end(),
                              [](const auto& n) { return n.op == "Conv"; });
    auto& kernel = graph.initializers[first->inputs[1]];
    for (auto& v : kernel.values)
        v /= 2;
    auto bias = graph.initializers[first->inputs[2]];
    first->inputs.resize(2);
    const std::size_t out = bias.values.size();
    auto constant = [&](const std::string& name, float value,
                        const std::vector<float>* plus = nullptr) {
        onnx::Tensor t{{static_cast<std::int64_t>(out)}, std::vector<float>(out, value)};
        for (std::size_t i = 0; plus && i < out; ++i)
            t.values[i] += (*plus)[i];
        graph.initializers[name] = t;
    };
    constant("bn.scale", 2.0f);
    constant("bn.shift", 0.5f, &bias.values);
    constant("bn.mean", 0.25f);
    constant("bn.var", 1.0f - 1e-5f);
    onnx::Node norm{"BatchNormalization",
                    {"conv0.raw", "bn.scale", "bn.shift", "bn.mean", "bn.var"},
                    first->outputs,
                    {},
                    {{"epsilon", 1e-5f}}};
    first->outputs = {"conv0.raw"};
    graph.nodes.insert(first + 1, norm);

    auto refolded = SpeakerWeights::from(graph);
    ASSERT_EQ(refolded.stem.bias.size(), out);
    for (std::size_t i = 0; i < out; ++i)
        EXPECT_NEAR(refolded.stem.bias[i], folded.stem.bias[i], 1e-5);
    for (std::size_t i = 0; i < folded.stem.weight.size(); ++i)
        EXPECT_NEAR(refolded.stem.weight[i], folded.stem.weight[i], 1e-5);
}

TEST(SpeakerOnnx, RefusesAnotherArchitectureSayingWhatDoesNotFit) {
    auto graph = tinyGraph();
    auto missing = graph;
    missing.nodes.erase(std::find_if(missing.nodes.begin(), missing.nodes.end(),
                                     [](const auto& n) { return n.op == "Conv"; }));
    EXPECT_NE(refusal(missing).find("35 convolutions, expected 36"), std::string::npos);

    auto strided = graph;
    for (auto& node : strided.nodes)
        if (node.op == "Conv") {
            node.ints["strides"] = {2, 2};
            break;
        }
    EXPECT_NE(refusal(strided).find("the first convolution is 1->8 3x3/2"), std::string::npos);

    auto noLinear = graph;
    std::erase_if(noLinear.nodes, [](const auto& n) { return n.op == "Gemm"; });
    EXPECT_NE(refusal(noLinear).find("no linear layer"), std::string::npos);
}

TEST(SpeakerOnnx, DamagedBytesAreRefusedNeverReadPast) {
    auto bytes = readRaw<std::uint8_t>(speakerFixture("speaker_tiny.onnx"));
    // A graph field claiming more bytes than any file has, and a number that never ends.
    std::vector<std::uint8_t> huge{0x3a, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};
    EXPECT_THROW(onnx::parse(huge), Error);
    std::vector<std::uint8_t> endless(20, 0xff);
    EXPECT_THROW(onnx::parse(endless), Error);
    EXPECT_THROW(onnx::parse({}), Error);

    // Cut anywhere inside the graph: always refused. Bytes changed at random may still make a
    // file of the right shape (a changed weight is still a weight); they must never crash.
    std::mt19937 random(7);
    for (int trial = 0; trial < 200; ++trial) {
        auto cut = static_cast<std::ptrdiff_t>(random() % (bytes.size() * 9 / 10));
        std::vector<std::uint8_t> truncated(bytes.begin(), bytes.begin() + cut);
        EXPECT_THROW(SpeakerWeights::from(onnx::parse(truncated)), Error) << "cut at " << cut;
    }
    for (int trial = 0; trial < 200; ++trial) {
        auto damaged = bytes;
        damaged.resize(random() % 20000);
        for (int flips = 1 + trial % 8; flips > 0 && !damaged.empty(); --flips)
            damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
        std::vector<std::uint8_t> noise(random() % 4096);
        for (auto& b : noise)
            b = static_cast<std::uint8_t>(random());
        for (const auto* input : {&damaged, &noise}) {
            try {
                SpeakerWeights::from(onnx::parse(*input));
            } catch (const Error&) {
            }
        }
    }
}

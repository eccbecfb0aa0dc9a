#include "speakers/SpeakerWeights.h"

#include "base/Error.h"

#include <array>
#include <cmath>
#include <deque>
#include <string>

namespace tallyvox {
namespace {

constexpr std::array<int, SpeakerWeights::stages> blocksPerStage{3, 4, 6, 3};

[[noreturn]] void refuse(const std::string& why) {
    throw Error("The speaker model does not have the expected layout (" + why + ").");
}

const onnx::Tensor& initializer(const onnx::Graph& graph, const std::string& name, int depth = 0) {
    auto it = graph.initializers.find(name);
    if (it == graph.initializers.end() && depth < 4) {
        // The exporter keeps one copy of equal initializers and names the others through
        // Identity nodes.
        for (const auto& node : graph.nodes)
            if (node.op == "Identity" && node.outputs.size() == 1 && node.outputs[0] == name &&
                node.inputs.size() == 1 && node.inputs[0] != name)
                return initializer(graph, node.inputs[0], depth + 1);
    }
    if (it == graph.initializers.end() || it->second.values.empty())
        refuse("missing weights " + name);
    return it->second;
}

std::int64_t intAttribute(const onnx::Node& node, const std::string& name, std::int64_t fallback) {
    auto it = node.ints.find(name);
    if (it == node.ints.end())
        return fallback;
    for (auto value : it->second)
        if (value != it->second.front())
            refuse("a convolution is not symmetric in " + name);
    return it->second.front();
}

// A PyTorch export in evaluation mode folds batch norm into the convolutions; an export that
// kept them is folded here, so both load to the same weights.
void foldBatchNorm(const onnx::Graph& graph, const onnx::Node& norm, ConvWeights& conv) {
    if (norm.inputs.size() < 5)
        refuse("a batch norm without its statistics");
    const auto& scale = initializer(graph, norm.inputs[1]).values;
    const auto& shift = initializer(graph, norm.inputs[2]).values;
    const auto& mean = initializer(graph, norm.inputs[3]).values;
    const auto& var = initializer(graph, norm.inputs[4]).values;
    auto out = static_cast<std::size_t>(conv.out);
    if (scale.size() != out || shift.size() != out || mean.size() != out || var.size() != out)
        refuse("a batch norm of the wrong size");
    float epsilon = norm.floats.contains("epsilon") ? norm.floats.at("epsilon") : 1e-5f;
    if (conv.bias.empty())
        conv.bias.assign(out, 0.0f);
    std::size_t perOut = conv.weight.size() / out;
    for (std::size_t o = 0; o < out; ++o) {
        double factor = scale[o] / std::sqrt(static_cast<double>(var[o]) + epsilon);
        for (std::size_t i = 0; i < perOut; ++i)
            conv.weight[o * perOut + i] = static_cast<float>(conv.weight[o * perOut + i] * factor);
        conv.bias[o] = static_cast<float>((conv.bias[o] - mean[o]) * factor + shift[o]);
    }
}

ConvWeights readConv(const onnx::Graph& graph, const onnx::Node& node) {
    if (node.inputs.size() < 2)
        refuse("a convolution without weights");
    const auto& weight = initializer(graph, node.inputs[1]);
    if (weight.dims.size() != 4 || weight.dims[2] != weight.dims[3])
        refuse("a convolution kernel that is not square");
    ConvWeights conv;
    conv.out = static_cast<int>(weight.dims[0]);
    conv.in = static_cast<int>(weight.dims[1]);
    conv.kernel = static_cast<int>(weight.dims[2]);
    conv.stride = static_cast<int>(intAttribute(node, "strides", 1));
    conv.weight = weight.values;
    if (intAttribute(node, "group", 1) != 1 || intAttribute(node, "dilations", 1) != 1)
        refuse("a grouped or dilated convolution");
    if (intAttribute(node, "pads", 0) != conv.kernel / 2)
        refuse("a convolution whose padding does not keep its size");
    if (node.inputs.size() > 2 && !node.inputs[2].empty()) {
        conv.bias = initializer(graph, node.inputs[2]).values;
        if (conv.bias.size() != static_cast<std::size_t>(conv.out))
            refuse("a convolution bias of the wrong size");
    }
    return conv;
}

void check(const ConvWeights& conv, int in, int out, int kernel, int stride,
           const std::string& where) {
    if (conv.in != in || conv.out != out || conv.kernel != kernel || conv.stride != stride)
        refuse(where + " is " + std::to_string(conv.in) + "->" + std::to_string(conv.out) + " " +
               std::to_string(conv.kernel) + "x" + std::to_string(conv.kernel) + "/" +
               std::to_string(conv.stride) + ", expected " + std::to_string(in) + "->" +
               std::to_string(out) + " " + std::to_string(kernel) + "x" + std::to_string(kernel) +
               "/" + std::to_string(stride));
}

void readLinear(const onnx::Graph& graph, SpeakerWeights& weights) {
    for (const auto& node : graph.nodes) {
        bool gemm = node.op == "Gemm";
        if ((!gemm && node.op != "MatMul") || node.inputs.size() < 2 ||
            !graph.initializers.contains(node.inputs[1]))
            continue;
        const auto& matrix = initializer(graph, node.inputs[1]);
        if (matrix.dims.size() != 2)
            refuse("a linear layer that is not a matrix");
        bool transposed = gemm && intAttribute(node, "transB", 0) == 1;
        auto rows = transposed ? matrix.dims[0] : matrix.dims[1];
        auto columns = transposed ? matrix.dims[1] : matrix.dims[0];
        if (columns != weights.statsSize())
            refuse("a linear layer on " + std::to_string(columns) + " statistics, expected " +
                   std::to_string(weights.statsSize()));
        weights.embeddingSize = static_cast<int>(rows);
        weights.linear.resize(matrix.values.size());
        for (std::int64_t r = 0; r < rows; ++r)
            for (std::int64_t c = 0; c < columns; ++c)
                weights.linear[static_cast<std::size_t>(r * columns + c)] =
                    matrix.values[static_cast<std::size_t>(transposed ? r * columns + c
                                                                      : c * rows + r)];
        std::string biasName;
        if (gemm && node.inputs.size() > 2) {
            biasName = node.inputs[2];
        } else {
            // MatMul is followed by the Add of its bias.
            for (const auto& next : graph.nodes)
                if (next.op == "Add" && next.inputs.size() == 2 && !node.outputs.empty() &&
                    (next.inputs[0] == node.outputs[0] || next.inputs[1] == node.outputs[0]))
                    biasName = next.inputs[0] == node.outputs[0] ? next.inputs[1] : next.inputs[0];
        }
        if (biasName.empty())
            weights.linearBias.assign(static_cast<std::size_t>(rows), 0.0f);
        else
            weights.linearBias = initializer(graph, biasName).values;
        if (weights.linearBias.size() != static_cast<std::size_t>(rows))
            refuse("a linear bias of the wrong size");
        return;
    }
    refuse("no linear layer");
}

} // namespace

SpeakerWeights SpeakerWeights::from(const onnx::Graph& graph) {
    std::deque<ConvWeights> convs;
    std::map<std::string, std::size_t> convByOutput;
    for (const auto& node : graph.nodes) {
        if (node.op == "Conv") {
            convs.push_back(readConv(graph, node));
            if (!node.outputs.empty())
                convByOutput[node.outputs[0]] = convs.size() - 1;
        } else if (node.op == "BatchNormalization") {
            auto it = node.inputs.empty() ? convByOutput.end() : convByOutput.find(node.inputs[0]);
            if (it == convByOutput.end())
                refuse("a batch norm that does not follow a convolution");
            foldBatchNorm(graph, node, convs[it->second]);
            if (!node.outputs.empty())
                convByOutput[node.outputs[0]] = it->second;
        }
    }
    std::size_t expected = 1;
    for (int stage = 0; stage < stages; ++stage)
        expected += static_cast<std::size_t>(blocksPerStage[static_cast<std::size_t>(stage)]) * 2 +
                    (stage > 0 ? 1 : 0);
    if (convs.size() != expected)
        refuse(std::to_string(convs.size()) + " convolutions, expected " +
               std::to_string(expected));
    for (auto& conv : convs)
        if (conv.bias.empty())
            conv.bias.assign(static_cast<std::size_t>(conv.out), 0.0f);

    SpeakerWeights weights;
    weights.stem = std::move(convs.front());
    convs.pop_front();
    weights.width = weights.stem.out;
    if (weights.width <= 0)
        refuse("an empty first convolution");
    check(weights.stem, 1, weights.width, 3, 1, "the first convolution");

    int in = weights.width;
    for (int stage = 0; stage < stages; ++stage) {
        int out = weights.width << stage;
        for (int b = 0; b < blocksPerStage[static_cast<std::size_t>(stage)]; ++b) {
            int stride = (b == 0 && stage > 0) ? 2 : 1;
            bool needsShortcut = stride != 1 || in != out;
            // Within a block the export may place the shortcut before or after the main path.
            std::vector<ConvWeights> main;
            BlockWeights block;
            for (int taken = 0; taken < (needsShortcut ? 3 : 2); ++taken) {
                if (convs.front().kernel == 1 && needsShortcut && !block.shortcut)
                    block.shortcut = std::move(convs.front());
                else
                    main.push_back(std::move(convs.front()));
                convs.pop_front();
            }
            std::string where = "block " + std::to_string(stage + 1) + "." + std::to_string(b);
            if (main.size() != 2 || (needsShortcut && !block.shortcut))
                refuse(where + " is not two convolutions and a shortcut");
            block.first = std::move(main[0]);
            block.second = std::move(main[1]);
            check(block.first, in, out, 3, stride, where);
            check(block.second, out, out, 3, 1, where);
            if (block.shortcut)
                check(*block.shortcut, in, out, 1, stride, where + " shortcut");
            weights.blocks.push_back(std::move(block));
            in = out;
        }
    }
    readLinear(graph, weights);
    return weights;
}

} // namespace tallyvox

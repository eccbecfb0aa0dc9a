#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace tallyvox::onnx {

// Only what a convolutional network exported from PyTorch needs: its float initializers and
// the nodes in file order. Anything this reader does not use is skipped, not interpreted.
struct Tensor {
    std::vector<std::int64_t> dims;
    std::vector<float> values; // empty for tensors that are not 32-bit floats
};

struct Node {
    std::string op;
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
    std::map<std::string, std::vector<std::int64_t>> ints; // single ints become one element
    std::map<std::string, float> floats;
};

struct Graph {
    std::vector<Node> nodes;
    std::map<std::string, Tensor> initializers;
};

// Throws tallyvox::Error when the bytes are not a well-formed model: every length and count is
// checked against what is left, so damaged or hostile bytes are refused, never read past.
Graph parse(std::span<const std::uint8_t> bytes);

} // namespace tallyvox::onnx

#pragma once

#include "speakers/OnnxModel.h"

#include <optional>
#include <vector>

namespace tallyvox {

// One convolution with its batch norm already folded in: weight [out][in][k][k], bias [out].
struct ConvWeights {
    int out = 0;
    int in = 0;
    int kernel = 0;
    int stride = 1;
    std::vector<float> weight;
    std::vector<float> bias;
};

struct BlockWeights {
    ConvWeights first;
    ConvWeights second;
    std::optional<ConvWeights> shortcut;
};

// A ResNet34 speaker network (3/4/6/3 basic blocks) whose widths double from `width`, on
// 80-bin filter banks, followed by statistics pooling and one linear layer.
struct SpeakerWeights {
    static constexpr int melBins = 80;
    static constexpr int stages = 4;

    int width = 0;
    ConvWeights stem;
    std::vector<BlockWeights> blocks;
    int embeddingSize = 0;
    std::vector<float> linear; // [embeddingSize][statsSize()]
    std::vector<float> linearBias;

    int channels() const { return width << (stages - 1); }
    int pooledBins() const { return melBins >> (stages - 1); }
    int statsSize() const { return 2 * channels() * pooledBins(); }

    // The width is read from the first convolution and every other shape checked against it,
    // so narrow test networks load through the same path as the published one. Throws
    // tallyvox::Error naming what does not fit.
    static SpeakerWeights from(const onnx::Graph& graph);
};

} // namespace tallyvox

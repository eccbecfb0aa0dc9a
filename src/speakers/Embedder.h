#pragma once

#include <cstddef>
#include <vector>

namespace tallyvox {

// The speaker-embedding model as the diarizer sees it: rows of exactly `rowSamples` samples
// (10 s of 16 kHz mono) in, one embedding per row out, every embedding the same length.
// Throws tallyvox::Error (or another std::exception) when the model cannot run.
class Embedder {
public:
    static constexpr size_t rowSamples = 160000;

    virtual ~Embedder() = default;
    virtual std::vector<std::vector<float>> embed(const std::vector<std::vector<float>>& rows) = 0;
};

} // namespace tallyvox

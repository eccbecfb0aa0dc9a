#pragma once

#include "base/Error.h"

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace tallyvox {

// The speaker-embedding model as the diarizer sees it: rows of exactly `rowSamples` samples
// (10 s of 16 kHz mono) in, one embedding per row out, every embedding the same length.
// Throws tallyvox::Error (or another std::exception) when the model cannot run.
class Embedder {
public:
    static constexpr size_t rowSamples = 160000;

    // Samples [from, to) of a clip.
    struct Range {
        size_t from = 0;
        size_t to = 0;
    };

    virtual ~Embedder() = default;
    virtual std::vector<std::vector<float>> embed(const std::vector<std::vector<float>>& rows) = 0;

    // One embedding per range of `clip`, each standing for that range looped into a row of its
    // own. By default exactly that; a model may instead hear the clip once and pool each range
    // from it, which costs one clip instead of one row per range.
    virtual std::vector<std::vector<float>> embedRanges(std::span<const float> clip,
                                                        const std::vector<Range>& ranges) {
        return exactRanges(*this, clip, ranges);
    }

    // Each range looped into a row of its own, one model call per range.
    static std::vector<std::vector<float>> exactRanges(Embedder& model, std::span<const float> clip,
                                                       const std::vector<Range>& ranges) {
        std::vector<std::vector<float>> out;
        out.reserve(ranges.size());
        for (const auto& range : ranges) {
            auto embedded = model.embed({looped(clip.subspan(range.from, range.to - range.from))});
            if (embedded.size() != 1)
                throw Error("The speaker model gave " + std::to_string(embedded.size()) +
                            " embeddings for 1 clip.");
            out.push_back(std::move(embedded.front()));
        }
        return out;
    }

    // A clip repeated from its beginning to fill one row (cut after 10 s); an empty clip
    // leaves the row silent.
    static std::vector<float> looped(std::span<const float> clip) {
        std::vector<float> row(rowSamples, 0.0f);
        if (clip.empty())
            return row;
        for (size_t i = 0; i < row.size(); i += clip.size())
            std::copy_n(clip.begin(), std::min(clip.size(), row.size() - i),
                        row.begin() + static_cast<std::ptrdiff_t>(i));
        return row;
    }
};

} // namespace tallyvox

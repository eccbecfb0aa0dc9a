#pragma once

#include "speakers/Embedder.h"
#include "speakers/SpeakerWeights.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

namespace tallyvox {

// Speaker embeddings of 10-second rows of 16 kHz audio: Kaldi filter banks, the ResNet34 on
// ggml's CPU backend in 32-bit floats, statistics pooling weighted by how much of each moment
// the caller attributes to the row's speaker, and the final linear layer.
//
// Runs on the engine's transcription queue; calls are serialised inside, so it may be shared.
class SpeakerEmbedder : public Embedder {
public:
    static constexpr int sampleRate = 16000;
    // Per-row weights usually come at this rate (one per ~17 ms); any count is mapped onto the
    // network's pooled frames in proportion.
    static constexpr std::size_t frameWeights = 589;

    // What a pinned file must be.
    struct Pin {
        std::uint64_t bytes = 0;
        std::string_view sha256; // lower-case hex
    };
    // The published file: read once, within its size, and its digest checked on the bytes that
    // are then parsed. A file whose digest differs is set aside (ModelFiles::setAside), so that
    // it no longer counts as downloaded and downloading it again fetches a fresh copy. Throws
    // tallyvox::Error with a sentence a log can carry as it is.
    static std::unique_ptr<SpeakerEmbedder> load(const std::filesystem::path& file);
    static std::unique_ptr<SpeakerEmbedder> load(const std::filesystem::path& file, Pin pin);
    // Any file of the same architecture and any width (test networks, experiments).
    static std::unique_ptr<SpeakerEmbedder> loadUnpinned(const std::filesystem::path& file);
    explicit SpeakerEmbedder(SpeakerWeights weights, int threads = 0);
    ~SpeakerEmbedder() override;
    SpeakerEmbedder(const SpeakerEmbedder&) = delete;
    SpeakerEmbedder& operator=(const SpeakerEmbedder&) = delete;

    int embeddingSize() const { return weights_.embeddingSize; }
    int width() const { return weights_.width; }

    // One embedding per row. Rows of a call share one length (at least a few tenths of a
    // second); `weights` is empty (every moment counts the same) or one vector per row, and a
    // row whose weights are all zero counts every moment the same.
    std::vector<std::vector<float>> embed(const std::vector<std::vector<float>>& rows,
                                          const std::vector<std::vector<float>>& weights);
    // Every moment of every row counts the same.
    std::vector<std::vector<float>> embed(const std::vector<std::vector<float>>& rows) override {
        return embed(rows, {});
    }
    // The same from filter banks (frames x 80, as Fbank::compute gives them).
    std::vector<std::vector<float>>
    embedFeatures(const std::vector<std::vector<float>>& features,
                  const std::vector<std::vector<float>>& weights = {});

    // One pass of the network over the whole clip (passes of at most 20 s), each range pooled
    // from the frames it covers. Unlike its looped row, a range is heard with its neighbours as
    // context, and its filter banks are normalised around each frame rather than over the range
    // alone; bench/README.md gives how far that moves the embeddings.
    std::vector<std::vector<float>> embedRanges(std::span<const float> clip,
                                                const std::vector<Range>& ranges) override;

private:
    struct Graph;
    struct Trunk {
        std::vector<float> values; // per row: channels x frames, time fastest
        std::size_t frames = 0;    // pooled frames per row
    };
    // The network up to pooling for rows of `frames` filter-bank frames each; the lock is held.
    Trunk run(std::span<const std::vector<float>> features, std::size_t frames);
    std::vector<float> pool(std::span<const float> trunk, std::size_t frames,
                            std::span<const float> weights) const;

    SpeakerWeights weights_;
    int threads_;
    std::unique_ptr<Graph> graph_;
    std::mutex mutex_;
};

} // namespace tallyvox

#include "speakers/SpeakerEmbedder.h"

#include "base/BoundedRead.h"
#include "base/Error.h"
#include "base/UsableProcessors.h"
#include "speakers/Fbank.h"
#include "speakers/OnnxModel.h"
#include "transcription/CpuBackend.h"
#include "transcription/ModelFiles.h"
#include "types/SpeakerModels.h"
#include "types/WhisperModel.h"

#include <ggml-alloc.h>
#include <ggml-backend.h>
#include <ggml.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tallyvox {
namespace {

// Rows computed in one graph: the unfolded columns of the first stage take about 90 MB per
// row at full width, and more rows gain little once the matrix products are this large.
constexpr std::size_t rowsPerGraph = 2;
constexpr std::size_t minimumFrames = 24; // three pooled frames after the 8x reduction
constexpr double stdFloor = 1e-7;         // as the network was trained

// One pass of the network over a clip covers at most this much of it, and the next pass starts
// this much later (so a range of up to 5 s always lies whole inside one pass).
constexpr std::size_t passSamples = 2 * Embedder::rowSamples;
constexpr std::size_t passStep = 15 * 16000;

// How much each pooled frame of a pass counts towards the samples [from, to) of it. Pooled
// frame j stands for the eight filter-bank frames around frame 8j (each of the three stride-2
// stages keeps every second centre), so for the samples [1280 j - 440, 1280 j + 840), and it
// counts by the share of those inside the range.
std::vector<float> poolingWeights(std::size_t from, std::size_t to, std::size_t frames) {
    constexpr double hop = 8.0 * Fbank::frameShift;
    constexpr double centre = Fbank::frameLength / 2.0;
    std::vector<float> w(frames);
    bool any = false;
    for (std::size_t j = 0; j < frames; ++j) {
        const double start = hop * static_cast<double>(j) + centre - hop / 2;
        const double overlap = std::min(start + hop, static_cast<double>(to)) -
                               std::max(start, static_cast<double>(from));
        w[j] = static_cast<float>(std::max(0.0, overlap) / hop);
        any = any || w[j] > 0;
    }
    // An empty range, or one off the end, still hears the frame nearest to it.
    if (!any) {
        const double middle = (static_cast<double>(from) + static_cast<double>(to)) / 2;
        const auto j = static_cast<std::size_t>(std::max(0.0, std::round((middle - centre) / hop)));
        w[std::min(j, frames - 1)] = 1;
    }
    return w;
}

// A speaker network is tens of megabytes; a file far past that is no such network, and is
// refused before a byte of it is read rather than read whole.
constexpr std::uint64_t maxModelBytes = 256ull << 20;

Error unreadable(const UnreadableFile& e) {
    return Error(std::string("The speaker model cannot be read: ") + e.what() + ".");
}

std::string wrongSize(const std::filesystem::path& file, std::uint64_t size,
                      std::uint64_t expected) {
    return "The speaker model " + file.string() + " has " + std::to_string(size) +
           " bytes, expected " + std::to_string(expected) + ".";
}

std::unique_ptr<SpeakerEmbedder> parsed(std::string_view bytes) {
    const std::span<const std::uint8_t> view(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                             bytes.size());
    return std::make_unique<SpeakerEmbedder>(SpeakerWeights::from(onnx::parse(view)));
}

struct Conv {
    ggml_tensor* weight = nullptr; // [k, k, in, out]
    ggml_tensor* bias = nullptr;   // [1, 1, out, 1]
    int out = 0;
    int stride = 1;
    int pad = 0;
};

} // namespace

struct SpeakerEmbedder::Graph {
    ggml_backend_t backend = nullptr;
    ggml_context* weights = nullptr;
    ggml_backend_buffer_t buffer = nullptr;
    ggml_gallocr_t allocator = nullptr;
    Conv stem;
    struct Block {
        Conv first, second;
        std::optional<Conv> shortcut;
    };
    std::vector<Block> blocks;

    ~Graph() {
        if (allocator)
            ggml_gallocr_free(allocator);
        if (buffer)
            ggml_backend_buffer_free(buffer);
        if (weights)
            ggml_free(weights);
        if (backend)
            ggml_backend_free(backend);
    }

    Conv make(const ConvWeights& w) {
        Conv conv;
        conv.weight = ggml_new_tensor_4d(weights, GGML_TYPE_F32, w.kernel, w.kernel, w.in, w.out);
        conv.bias = ggml_new_tensor_4d(weights, GGML_TYPE_F32, 1, 1, w.out, 1);
        conv.out = w.out;
        conv.stride = w.stride;
        conv.pad = w.kernel / 2;
        return conv;
    }

    // Convolution as unfolded columns times the kernel, both in 32-bit floats; x and the
    // result are [time, frequency, channels, rows].
    static ggml_tensor* apply(ggml_context* ctx, ggml_tensor* x, const Conv& conv) {
        ggml_tensor* columns = ggml_im2col(ctx, conv.weight, x, conv.stride, conv.stride, conv.pad,
                                           conv.pad, 1, 1, true, GGML_TYPE_F32);
        const auto k = columns->ne[0], w = columns->ne[1], h = columns->ne[2], n = columns->ne[3];
        // The kernel as the first operand: ggml splits the work over its rows and streams the
        // columns once, which measured two to four times faster than the other way round, even
        // with the transpose back to [time, frequency, channels] that it needs.
        ggml_tensor* y = ggml_mul_mat(ctx, ggml_reshape_2d(ctx, conv.weight, k, conv.out),
                                      ggml_reshape_2d(ctx, columns, k, w * h * n));
        y = ggml_reshape_4d(ctx, y, conv.out, w, h, n);
        y = ggml_cont(ctx, ggml_permute(ctx, y, 2, 0, 1, 3));
        return ggml_add(ctx, y, conv.bias);
    }
};

std::unique_ptr<SpeakerEmbedder> SpeakerEmbedder::load(const std::filesystem::path& file) {
    return load(file, {static_cast<std::uint64_t>(SpeakerModels::bytes), SpeakerModels::sha256});
}

std::unique_ptr<SpeakerEmbedder> SpeakerEmbedder::load(const std::filesystem::path& file, Pin pin) {
    // One read: a file replaced between a check and a second read would be parsed unchecked.
    std::string bytes;
    try {
        bytes = readFileBounded(file, pin.bytes);
    } catch (const UnreadableFile& e) {
        if (e.tooLarge())
            throw Error(
                wrongSize(file, static_cast<std::uint64_t>(fileSizeOrZero(file)), pin.bytes));
        throw unreadable(e);
    }
    if (bytes.size() != pin.bytes)
        throw Error(wrongSize(file, bytes.size(), pin.bytes));
    if (!ModelFiles::hasDigest(bytes, pin.sha256)) {
        // A file of full size counts as downloaded, so left in place it would never be
        // fetched again.
        ModelFiles::setAside(file);
        throw Error("The speaker model " + file.string() + " does not have the expected digest.");
    }
    return parsed(bytes);
}

std::unique_ptr<SpeakerEmbedder> SpeakerEmbedder::loadUnpinned(const std::filesystem::path& file) {
    try {
        return parsed(readFileBounded(file, maxModelBytes));
    } catch (const UnreadableFile& e) {
        throw unreadable(e);
    }
}

SpeakerEmbedder::SpeakerEmbedder(SpeakerWeights weights, int threads)
    : weights_(std::move(weights))
    , threads_(threads > 0 ? threads : UsableProcessors::count())
    , graph_(std::make_unique<Graph>()) {
    auto& g = *graph_;
    std::size_t tensors = 2 * (1 + 3 * weights_.blocks.size());
    ggml_init_params params{tensors * ggml_tensor_overhead(), nullptr, true};
    g.weights = ggml_init(params);
    if (!g.weights)
        throw Error("The speaker model could not be set up.");
    g.backend = CpuBackend::create(threads_);
    std::vector<std::pair<ggml_tensor*, const std::vector<float>*>> uploads;
    auto make = [&](const ConvWeights& w) {
        Conv conv = g.make(w);
        uploads.emplace_back(conv.weight, &w.weight);
        uploads.emplace_back(conv.bias, &w.bias);
        return conv;
    };
    g.stem = make(weights_.stem);
    for (const auto& block : weights_.blocks) {
        Graph::Block b{make(block.first), make(block.second), std::nullopt};
        if (block.shortcut)
            b.shortcut = make(*block.shortcut);
        g.blocks.push_back(b);
    }
    g.buffer = ggml_backend_alloc_ctx_tensors(g.weights, g.backend);
    if (!g.buffer)
        throw Error("The speaker model does not fit in memory.");
    for (auto [tensor, values] : uploads)
        ggml_backend_tensor_set(tensor, values->data(), 0, values->size() * sizeof(float));
    g.allocator = ggml_gallocr_new(ggml_backend_get_default_buffer_type(g.backend));
    // The folded convolutions are all the network needs; the host copies would double its size.
    weights_.stem.weight.clear();
    for (auto& block : weights_.blocks) {
        block.first.weight.clear();
        block.second.weight.clear();
        if (block.shortcut)
            block.shortcut->weight.clear();
    }
}

SpeakerEmbedder::~SpeakerEmbedder() = default;

std::vector<std::vector<float>>
SpeakerEmbedder::embed(const std::vector<std::vector<float>>& rows,
                       const std::vector<std::vector<float>>& weights) {
    std::vector<std::vector<float>> features;
    features.reserve(rows.size());
    Fbank fbank;
    for (const auto& row : rows)
        features.push_back(fbank.compute(row));
    return embedFeatures(features, weights);
}

std::vector<std::vector<float>>
SpeakerEmbedder::embedFeatures(const std::vector<std::vector<float>>& features,
                               const std::vector<std::vector<float>>& weights) {
    if (!weights.empty() && weights.size() != features.size())
        throw std::invalid_argument("one weight vector per row");
    if (features.empty())
        return {};
    const std::size_t bins = SpeakerWeights::melBins;
    const std::size_t frames = features.front().size() / bins;
    for (const auto& row : features)
        if (row.size() != frames * bins || frames < minimumFrames)
            throw std::invalid_argument("rows of one call share a length of at least 24 frames");

    std::lock_guard lock(mutex_);
    std::vector<std::vector<float>> embeddings;
    for (std::size_t start = 0; start < features.size(); start += rowsPerGraph) {
        const std::size_t n = std::min(rowsPerGraph, features.size() - start);
        auto trunk = run(std::span(features).subspan(start, n), frames);
        const std::size_t perRow = trunk.values.size() / n;
        for (std::size_t r = 0; r < n; ++r)
            embeddings.push_back(
                pool(std::span<const float>(trunk.values).subspan(r * perRow, perRow), trunk.frames,
                     weights.empty() ? std::span<const float>() : weights[start + r]));
    }
    return embeddings;
}

std::vector<std::vector<float>> SpeakerEmbedder::embedRanges(std::span<const float> clip,
                                                             const std::vector<Range>& ranges) {
    for (const auto& range : ranges)
        if (range.from > range.to || range.to > clip.size())
            throw std::invalid_argument("ranges lie inside the clip");
    std::vector<std::vector<float>> embeddings(ranges.size());
    std::vector<bool> done(ranges.size(), false);
    // Each frame is normalised over a range's length around it, as a range's own row is over
    // the range: measured closer to the rows than one mean over the whole pass.
    std::size_t span = 0;
    for (const auto& range : ranges)
        span = std::max(span, Fbank::frameCount(range.to - range.from));
    Fbank fbank;
    // Long clips are heard in overlapping passes of at most two rows, so no pass takes more
    // memory than two rows do; each range is pooled from the first pass that holds it whole.
    for (std::size_t from = 0; from < clip.size(); from += passStep) {
        const std::size_t to = std::min(clip.size(), from + passSamples);
        std::vector<std::size_t> here;
        for (std::size_t i = 0; i < ranges.size(); ++i)
            if (!done[i] && ranges[i].from >= from && ranges[i].to <= to)
                here.push_back(i);
        const std::size_t frames = Fbank::frameCount(to - from);
        if (!here.empty() && frames >= minimumFrames) {
            std::vector<std::vector<float>> features{
                fbank.computeLocal(clip.subspan(from, to - from), span)};
            Trunk trunk;
            {
                std::lock_guard lock(mutex_);
                trunk = run(features, frames);
            }
            for (std::size_t i : here) {
                embeddings[i] =
                    pool(trunk.values, trunk.frames,
                         poolingWeights(ranges[i].from - from, ranges[i].to - from, trunk.frames));
                done[i] = true;
            }
        }
        if (to == clip.size())
            break;
    }
    // Clips too short for the network, and ranges longer than two passes overlap (5 s), get a
    // row of their own.
    for (std::size_t i = 0; i < ranges.size(); ++i)
        if (!done[i])
            embeddings[i] = std::move(exactRanges(*this, clip, {ranges[i]}).front());
    return embeddings;
}

SpeakerEmbedder::Trunk SpeakerEmbedder::run(std::span<const std::vector<float>> features,
                                            std::size_t frames) {
    const std::size_t bins = SpeakerWeights::melBins;
    const std::size_t n = features.size();
    ggml_init_params params{
        ggml_tensor_overhead() * GGML_DEFAULT_GRAPH_SIZE + ggml_graph_overhead(), nullptr, true};
    std::unique_ptr<ggml_context, decltype(&ggml_free)> ctx(ggml_init(params), ggml_free);
    ggml_tensor* input =
        ggml_new_tensor_4d(ctx.get(), GGML_TYPE_F32, static_cast<std::int64_t>(frames),
                           static_cast<std::int64_t>(bins), 1, static_cast<std::int64_t>(n));
    ggml_set_input(input);
    ggml_tensor* x = ggml_relu(ctx.get(), Graph::apply(ctx.get(), input, graph_->stem));
    for (const auto& block : graph_->blocks) {
        ggml_tensor* y = ggml_relu(ctx.get(), Graph::apply(ctx.get(), x, block.first));
        y = Graph::apply(ctx.get(), y, block.second);
        ggml_tensor* skip = block.shortcut ? Graph::apply(ctx.get(), x, *block.shortcut) : x;
        x = ggml_relu(ctx.get(), ggml_add(ctx.get(), y, skip));
    }
    ggml_set_output(x);
    ggml_cgraph* graph = ggml_new_graph(ctx.get());
    ggml_build_forward_expand(graph, x);
    if (!ggml_gallocr_alloc_graph(graph_->allocator, graph))
        throw Error("The speaker model does not fit in memory.");

    // Filter banks are frames x bins; the network reads time along its first axis.
    std::vector<float> staged(frames * bins * n);
    for (std::size_t r = 0; r < n; ++r)
        for (std::size_t t = 0; t < frames; ++t)
            for (std::size_t b = 0; b < bins; ++b)
                staged[(r * bins + b) * frames + t] = features[r][t * bins + b];
    ggml_backend_tensor_set(input, staged.data(), 0, staged.size() * sizeof(float));
    if (ggml_backend_graph_compute(graph_->backend, graph) != GGML_STATUS_SUCCESS)
        throw Error("The speaker model failed to run.");

    Trunk trunk;
    trunk.values.resize(static_cast<std::size_t>(ggml_nelements(x)));
    ggml_backend_tensor_get(x, trunk.values.data(), 0, trunk.values.size() * sizeof(float));
    trunk.frames = static_cast<std::size_t>(x->ne[0]);
    return trunk;
}

std::vector<float> SpeakerEmbedder::pool(std::span<const float> trunk, std::size_t frames,
                                         std::span<const float> weights) const {
    // Each pooled frame takes the weight at its centre's share of the row.
    std::vector<double> w(frames, 1.0);
    if (!weights.empty()) {
        for (std::size_t t = 0; t < frames; ++t) {
            auto at = static_cast<std::size_t>((static_cast<double>(t) + 0.5) *
                                               static_cast<double>(weights.size()) /
                                               static_cast<double>(frames));
            w[t] = std::max(0.0, static_cast<double>(weights[std::min(at, weights.size() - 1)]));
        }
        if (std::all_of(w.begin(), w.end(), [](double v) { return v == 0.0; }))
            std::fill(w.begin(), w.end(), 1.0);
    }
    double v1 = 0, v2 = 0;
    for (double v : w) {
        v1 += v;
        v2 += v * v;
    }
    // Reliability weights: with equal weights this is the unbiased variance of training.
    const double denominator = v1 - v2 / v1;

    const std::size_t channels = trunk.size() / frames;
    const std::size_t stats = 2 * channels;
    std::vector<double> pooled(stats);
    for (std::size_t c = 0; c < channels; ++c) {
        const float* series = trunk.data() + c * frames;
        double mean = 0;
        for (std::size_t t = 0; t < frames; ++t)
            mean += w[t] * series[t];
        mean /= v1;
        double var = 0;
        for (std::size_t t = 0; t < frames; ++t)
            var += w[t] * (series[t] - mean) * (series[t] - mean);
        var = denominator > 0 ? var / denominator : 0.0;
        pooled[c] = mean;
        pooled[channels + c] = std::sqrt(var + stdFloor);
    }
    std::vector<float> embedding(static_cast<std::size_t>(weights_.embeddingSize));
    for (std::size_t e = 0; e < embedding.size(); ++e) {
        const float* row = weights_.linear.data() + e * stats;
        double sum = weights_.linearBias[e];
        for (std::size_t i = 0; i < stats; ++i)
            sum += row[i] * pooled[i];
        embedding[e] = static_cast<float>(sum);
    }
    // Weights or audio holding a NaN or an infinity come out here; such an embedding matches
    // every voice, so it is the model failing, not an answer.
    if (!std::all_of(embedding.begin(), embedding.end(), [](float x) { return std::isfinite(x); }))
        throw Error("The speaker model gave an embedding that is not a finite number.");
    return embedding;
}

} // namespace tallyvox

// Writes a whisper.cpp model of the tiny architecture whose weights are seeded random numbers.
// Recognition through it yields meaningless words, but real segments, tokens and timings, so
// tests and benchmarks exercise whisper.cpp the way a real model does. The hyper-parameters,
// mel filters and vocabulary are copied from a weightless model file.
//
//   make_test_model --from for-tests-ggml-tiny.bin --out random-tiny.bin [--seed N]
//                   [--scale S] [--architecture tiny|base|small|medium|large-v3-turbo]
//                   [--quantize q5_0]
//
// Every architecture the product offers can be written at full size, so the speed of each
// model can be measured on a machine without downloading it: the work of a model depends on
// its shapes and weight types, not on the values of its weights. Large v3 Turbo listens on
// 128 mel bands and knows one more language than the others; its filters are made here.
// With --quantize, matrices are stored as ggml's own quantisation makes them, as in the files
// people download.

#include <ggml.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

struct Header {
    std::int32_t vocab, audioCtx, audioState, audioHead, audioLayer, textCtx, textState, textHead,
        textLayer, mels, ftype;
};

constexpr std::uint32_t ggmlMagic = 0x67676d6c;
constexpr std::int32_t typeF32 = 0, typeF16 = 1;
constexpr std::int32_t typeQ5_0 = GGML_TYPE_Q5_0;

std::uint16_t toHalf(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    std::uint32_t sign = (bits >> 16) & 0x8000;
    std::int32_t exponent = static_cast<std::int32_t>((bits >> 23) & 0xff) - 127 + 15;
    std::uint32_t mantissa = bits & 0x7fffff;
    if (exponent <= 0)
        return static_cast<std::uint16_t>(sign); // tiny values flush to zero
    if (exponent >= 31)
        return static_cast<std::uint16_t>(sign | 0x7c00);
    std::uint32_t half = sign | (static_cast<std::uint32_t>(exponent) << 10) | (mantissa >> 13);
    if (mantissa & 0x1000) // round to nearest
        ++half;
    return static_cast<std::uint16_t>(half);
}

class Writer {
public:
    Writer(std::ofstream& out, std::uint64_t seed, float scale, bool quantize)
        : out_(out)
        , random_(seed)
        , scale_(scale)
        , quantize_(quantize) {}

    enum Fill { random, ones, zeros };

    using Adjust = std::function<float(std::int64_t index, float value)>;

    void tensor(const std::string& name, std::vector<std::int32_t> shape, std::int32_t type,
                Fill fill, float spread = 1, const Adjust& adjust = nullptr) {
        std::int32_t dims = static_cast<std::int32_t>(shape.size());
        std::int32_t length = static_cast<std::int32_t>(name.size());
        // whisper.cpp holds every matrix in the file's weight type; convolutions, vectors and
        // the positional embeddings keep their own.
        const bool quantized = quantize_ && type == typeF16 && dims == 2;
        if (quantized)
            type = typeQ5_0;
        put(dims);
        put(length);
        put(type);
        std::int64_t count = 1;
        for (auto n : shape) {
            put(n);
            count *= n;
        }
        out_.write(name.data(), length);
        // Weights scaled by the fan-in keep activations near unit size through the layers.
        std::normal_distribution<float> normal(0.0f, scale_ * spread);
        std::vector<float> values;
        if (quantized)
            values.reserve(static_cast<size_t>(count));
        for (std::int64_t i = 0; i < count; ++i) {
            float value = fill == ones ? 1.0f : fill == zeros ? 0.0f : normal(random_);
            if (adjust)
                value = adjust(i, value);
            if (quantized)
                values.push_back(value);
            else if (type == typeF16)
                put(toHalf(value));
            else
                put(value);
        }
        if (quantized) {
            const std::int64_t rowLength = shape[0];
            std::vector<char> packed(ggml_row_size(GGML_TYPE_Q5_0, rowLength) *
                                     static_cast<size_t>(count / rowLength));
            ggml_quantize_chunk(GGML_TYPE_Q5_0, values.data(), packed.data(), 0, count / rowLength,
                                rowLength, nullptr);
            out_.write(packed.data(), static_cast<std::streamsize>(packed.size()));
        }
    }

private:
    template <class T> void put(T value) {
        out_.write(reinterpret_cast<const char*>(&value), sizeof value);
    }

    std::ofstream& out_;
    std::mt19937_64 random_;
    float scale_;
    bool quantize_;
};

// Triangular filters evenly spaced on the mel scale up to 8 kHz, each of unit area, over the
// 201 bins of a 400-point transform at 16 kHz: the shape whisper.cpp expects of the file.
std::vector<float> melFilters(std::int32_t mels, std::int32_t bins) {
    auto toMel = [](double hz) { return 2595.0 * std::log10(1.0 + hz / 700.0); };
    auto toHz = [](double mel) { return 700.0 * (std::pow(10.0, mel / 2595.0) - 1.0); };
    std::vector<double> edges(static_cast<size_t>(mels) + 2);
    for (size_t i = 0; i < edges.size(); ++i)
        edges[i] = toHz(toMel(8000.0) * static_cast<double>(i) / (mels + 1));
    std::vector<float> filters(static_cast<size_t>(mels) * static_cast<size_t>(bins), 0.0f);
    for (std::int32_t m = 0; m < mels; ++m) {
        double low = edges[m], centre = edges[m + 1], high = edges[m + 2];
        for (std::int32_t k = 0; k < bins; ++k) {
            double hz = 8000.0 * k / (bins - 1);
            double rise = (hz - low) / (centre - low), fall = (high - hz) / (high - centre);
            double weight = std::max(0.0, std::min(rise, fall)) * 2.0 / (high - low);
            filters[static_cast<size_t>(m) * static_cast<size_t>(bins) + k] =
                static_cast<float>(weight);
        }
    }
    return filters;
}

void block(Writer& w, const std::string& prefix, std::int32_t state, bool cross) {
    float inner = 1.0f / std::sqrt(static_cast<float>(state));
    float wide = 1.0f / std::sqrt(static_cast<float>(4 * state));
    auto attention = [&](const std::string& name) {
        w.tensor(prefix + name + "_ln.weight", {state}, typeF32, Writer::ones);
        w.tensor(prefix + name + "_ln.bias", {state}, typeF32, Writer::zeros);
        w.tensor(prefix + name + ".query.weight", {state, state}, typeF16, Writer::random, inner);
        w.tensor(prefix + name + ".query.bias", {state}, typeF32, Writer::zeros);
        w.tensor(prefix + name + ".key.weight", {state, state}, typeF16, Writer::random, inner);
        w.tensor(prefix + name + ".value.weight", {state, state}, typeF16, Writer::random, inner);
        w.tensor(prefix + name + ".value.bias", {state}, typeF32, Writer::zeros);
        w.tensor(prefix + name + ".out.weight", {state, state}, typeF16, Writer::random, inner);
        w.tensor(prefix + name + ".out.bias", {state}, typeF32, Writer::zeros);
    };
    attention("attn");
    if (cross)
        attention("cross_attn");
    w.tensor(prefix + "mlp_ln.weight", {state}, typeF32, Writer::ones);
    w.tensor(prefix + "mlp_ln.bias", {state}, typeF32, Writer::zeros);
    w.tensor(prefix + "mlp.0.weight", {state, 4 * state}, typeF16, Writer::random, inner);
    w.tensor(prefix + "mlp.0.bias", {4 * state}, typeF32, Writer::zeros);
    w.tensor(prefix + "mlp.2.weight", {4 * state, state}, typeF16, Writer::random, wide);
    w.tensor(prefix + "mlp.2.bias", {state}, typeF32, Writer::zeros);
}

int usage() {
    std::cerr << "usage: make_test_model --from WEIGHTLESS.bin --out MODEL.bin [--seed N] "
                 "[--scale S] [--architecture tiny|base|small|medium|large-v3-turbo] "
                 "[--quantize q5_0]\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string from, to, architecture = "tiny", quantize;
    std::uint64_t seed = 1;
    float scale = 1.0f;
    struct {
        float textSpread = 0.5f;
        float positionSpread = 4.0f;
        float timestampBoost = 10.0f;
    } options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i], value = argv[i + 1];
        if (key == "--from")
            from = value;
        else if (key == "--out")
            to = value;
        else if (key == "--architecture")
            architecture = value;
        else if (key == "--quantize")
            quantize = value;
        else if (key == "--seed")
            seed = std::stoull(value);
        else if (key == "--scale")
            scale = std::stof(value);
        else if (key == "--text-spread")
            options.textSpread = std::stof(value);
        else if (key == "--position-spread")
            options.positionSpread = std::stof(value);
        else if (key == "--timestamp-boost")
            options.timestampBoost = std::stof(value);
        else
            return usage();
    }
    if (from.empty() || to.empty() || argc % 2 == 0 || (!quantize.empty() && quantize != "q5_0"))
        return usage();

    std::ifstream in(from, std::ios::binary);
    std::vector<char> source((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    if (!in.eof() && !in) {
        std::cerr << "make_test_model: cannot read " << from << "\n";
        return 1;
    }
    // magic, hyper-parameters, mel filters and vocabulary; weights (if any) are not copied
    size_t offset = 0;
    auto read = [&](void* into, size_t bytes) {
        if (offset + bytes > source.size())
            return false;
        std::memcpy(into, source.data() + offset, bytes);
        offset += bytes;
        return true;
    };
    std::uint32_t magic = 0;
    Header header{};
    std::int32_t filterMels = 0, filterFFT = 0, vocabCount = 0;
    if (!read(&magic, 4) || magic != ggmlMagic || !read(&header, sizeof header) ||
        !read(&filterMels, 4) || !read(&filterFFT, 4) || filterMels <= 0 || filterFFT <= 0) {
        std::cerr << "make_test_model: " << from << " is not a whisper model file\n";
        return 1;
    }
    offset += static_cast<size_t>(filterMels) * static_cast<size_t>(filterFFT) * 4;
    if (!read(&vocabCount, 4) || vocabCount <= 0) {
        std::cerr << "make_test_model: " << from << " has no vocabulary\n";
        return 1;
    }
    for (std::int32_t i = 0; i < vocabCount; ++i) {
        std::uint32_t length = 0;
        if (!read(&length, 4) || offset + length > source.size()) {
            std::cerr << "make_test_model: " << from << " has a broken vocabulary\n";
            return 1;
        }
        offset += length;
    }
    if (header.audioLayer != 4 || header.textLayer != 4 || header.audioState != 384) {
        std::cerr << "make_test_model: " << from << " is not of the tiny architecture\n";
        return 1;
    }
    // Width, attention heads and layers of each half, mel bands and vocabulary of each
    // architecture.
    struct Shape {
        const char* name;
        std::int32_t state, heads, audioLayers, textLayers, mels, vocab;
    };
    constexpr Shape shapes[] = {
        {"tiny", 384, 6, 4, 4, 80, 51865},
        {"base", 512, 8, 6, 6, 80, 51865},
        {"small", 768, 12, 12, 12, 80, 51865},
        {"medium", 1024, 16, 24, 24, 80, 51865},
        {"large-v3-turbo", 1280, 20, 32, 4, 128, 51866},
    };
    const Shape* shape = nullptr;
    for (const auto& candidate : shapes)
        if (architecture == candidate.name)
            shape = &candidate;
    if (!shape)
        return usage();
    header.audioState = header.textState = shape->state;
    header.audioHead = header.textHead = shape->heads;
    header.audioLayer = shape->audioLayers;
    header.textLayer = shape->textLayers;
    header.vocab = shape->vocab;
    header.ftype = quantize.empty()
                       ? typeF16
                       : GGML_FTYPE_MOSTLY_Q5_0 + GGML_QNT_VERSION * GGML_QNT_VERSION_FACTOR;
    const bool ownFilters = shape->mels != header.mels;
    header.mels = shape->mels;

    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(&magic), 4);
    out.write(reinterpret_cast<const char*>(&header), sizeof header);
    if (ownFilters) {
        auto filters = melFilters(shape->mels, filterFFT);
        out.write(reinterpret_cast<const char*>(&shape->mels), 4);
        out.write(reinterpret_cast<const char*>(&filterFFT), 4);
        out.write(reinterpret_cast<const char*>(filters.data()),
                  static_cast<std::streamsize>(filters.size() * sizeof(float)));
        const size_t vocabulary =
            4 + sizeof header + 8 +
            static_cast<size_t>(filterMels) * static_cast<size_t>(filterFFT) * 4;
        out.write(source.data() + vocabulary, static_cast<std::streamsize>(offset - vocabulary));
    } else {
        out.write(source.data() + 4 + sizeof header,
                  static_cast<std::streamsize>(offset - 4 - sizeof header));
    }

    Writer w(out, seed, scale, !quantize.empty());
    const std::int32_t state = header.audioState;
    w.tensor("encoder.positional_embedding", {state, header.audioCtx}, typeF32, Writer::random,
             0.1f);
    w.tensor("encoder.conv1.weight", {3, header.mels, state}, typeF16, Writer::random,
             1.0f / std::sqrt(3.0f * static_cast<float>(header.mels)));
    w.tensor("encoder.conv1.bias", {1, state}, typeF32, Writer::zeros);
    w.tensor("encoder.conv2.weight", {3, state, state}, typeF16, Writer::random,
             1.0f / std::sqrt(3.0f * static_cast<float>(state)));
    w.tensor("encoder.conv2.bias", {1, state}, typeF32, Writer::zeros);
    for (int i = 0; i < header.audioLayer; ++i)
        block(w, "encoder.blocks." + std::to_string(i) + ".", state, false);
    w.tensor("encoder.ln_post.weight", {state}, typeF32, Writer::ones);
    w.tensor("encoder.ln_post.bias", {state}, typeF32, Writer::zeros);

    w.tensor("decoder.positional_embedding", {state, header.textCtx}, typeF32, Writer::random,
             options.positionSpread);
    // Timestamp tokens and the end token share a direction that the final layer norm's bias
    // points along, so the decoder closes segments and ends instead of rambling on.
    const std::int32_t firstSpecial = vocabCount; // end of text, then the control tokens
    const std::int32_t firstTimestamp = header.vocab - 1501;
    w.tensor("decoder.token_embedding.weight", {state, header.vocab}, typeF16, Writer::random,
             options.textSpread, [&](std::int64_t index, float value) {
                 std::int64_t token = index / state;
                 bool boosted = token == firstSpecial || token >= firstTimestamp;
                 if (index % state != 0)
                     return value;
                 return boosted ? 1.0f : 0.0f;
             });
    for (int i = 0; i < header.textLayer; ++i)
        block(w, "decoder.blocks." + std::to_string(i) + ".", state, true);
    w.tensor("decoder.ln.weight", {state}, typeF32, Writer::ones);
    w.tensor("decoder.ln.bias", {state}, typeF32, Writer::zeros, 1,
             [&](std::int64_t index, float) { return index == 0 ? options.timestampBoost : 0.0f; });

    out.close();
    if (!out) {
        std::cerr << "make_test_model: cannot write " << to << "\n";
        return 1;
    }
    return 0;
}

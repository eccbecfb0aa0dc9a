#include "audio/Resampler.h"

#include "base/Log.h"

#include <cmath>
#include <soxr.h>

namespace tallyvox {

std::unique_ptr<Resampler> Resampler::make(double inputRate, int channels) {
    // Rates beyond a few MHz are no audio device's; they would also overflow the output sizing.
    if (!std::isfinite(inputRate) || inputRate < 1000 || inputRate > 1e6 || channels < 1 ||
        channels > 64)
        return nullptr;
    soxr_error_t error = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    soxr_t handle = soxr_create(inputRate, outputRate, 1, &error, &io, &quality, nullptr);
    if (error || !handle) {
        if (handle)
            soxr_delete(handle);
        return nullptr;
    }
    return std::unique_ptr<Resampler>(new Resampler(inputRate, channels, handle));
}

Resampler::Resampler(double inputRate, int channels, soxr* handle)
    : inputRate_(inputRate)
    , channels_(channels)
    , handle_(handle) {}

Resampler::~Resampler() {
    soxr_delete(handle_);
}

std::optional<std::vector<float>> Resampler::convert(const float* interleaved, std::size_t frames) {
    if (frames == 0 || !interleaved)
        return std::nullopt;

    const float* input = interleaved;
    if (channels_ > 1) {
        mono_.resize(frames);
        const float scale = 1.0f / static_cast<float>(channels_);
        for (std::size_t f = 0; f < frames; ++f) {
            const float* frame = interleaved + f * static_cast<std::size_t>(channels_);
            float sum = 0;
            for (int c = 0; c < channels_; ++c)
                sum += frame[c];
            mono_[f] = sum * scale;
        }
        input = mono_.data();
    }

    std::size_t capacity =
        static_cast<std::size_t>(outputRate * static_cast<double>(frames) / inputRate_) + 64;
    std::vector<float> out(capacity);
    std::size_t produced = 0;
    std::size_t consumed = 0;
    // soxr takes all input it can buffer; loop in case the output space ran short.
    for (int round = 0; round < 64; ++round) {
        std::size_t used = 0;
        std::size_t made = 0;
        soxr_error_t error = soxr_process(handle_, input + consumed, frames - consumed, &used,
                                          out.data() + produced, out.size() - produced, &made);
        if (error) {
            Log::error("Audio convert failed: {}", error);
            return std::nullopt;
        }
        consumed += used;
        produced += made;
        if (consumed >= frames && produced < out.size())
            break;
        if (produced == out.size())
            out.resize(out.size() + 1024);
    }
    if (produced == 0)
        return std::nullopt;
    out.resize(produced);
    return out;
}

} // namespace tallyvox

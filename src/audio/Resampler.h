#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

struct soxr;

namespace tallyvox {

// Turns interleaved float audio of any rate and channel count into the recogniser's format
// (16 kHz mono float): channels are averaged, then a very-high-quality streaming resampler
// runs. Successive calls form one continuous stream, so buffer edges leave no clicks.
class Resampler {
public:
    static constexpr double outputRate = 16000;

    // Nothing when the format cannot be converted (rate not a positive finite number within
    // a sane range, no channels).
    static std::unique_ptr<Resampler> make(double inputRate, int channels);
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    double inputRate() const { return inputRate_; }
    int channels() const { return channels_; }

    // Nothing when there was no input, nothing came out yet, or the resampler failed.
    std::optional<std::vector<float>> convert(const float* interleaved, std::size_t frames);

private:
    Resampler(double inputRate, int channels, soxr* handle);

    double inputRate_;
    int channels_;
    soxr* handle_;
    std::vector<float> mono_;
};

} // namespace tallyvox

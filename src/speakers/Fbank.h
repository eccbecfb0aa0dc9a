#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace tallyvox {

// Log mel filter banks computed the way Kaldi does (and so the way the speaker network was
// trained): samples scaled to 16-bit range, 25 ms frames every 10 ms with the edges snipped,
// no dither, DC removed, pre-emphasis 0.97, Hamming window, 512-point power spectrum, 80
// triangular mel bins from 20 Hz to 8 kHz, natural log floored at FLT_EPSILON, then each
// bin's mean over the frames subtracted. 16 kHz input only.
//
// Holds its FFT plan and buffers: one per thread.
class Fbank {
public:
    static constexpr int bins = 80;
    static constexpr std::size_t frameLength = 400;
    static constexpr std::size_t frameShift = 160;

    Fbank();
    ~Fbank();
    Fbank(const Fbank&) = delete;
    Fbank& operator=(const Fbank&) = delete;

    static std::size_t frameCount(std::size_t samples) {
        return samples < frameLength ? 0 : 1 + (samples - frameLength) / frameShift;
    }

    // frameCount(samples.size()) rows of `bins` values, row after row.
    std::vector<float> compute(std::span<const float> samples);
    // The same, but each frame less the mean of the `span` frames centred on it (fewer at the
    // ends): what each stretch of that length would have been normalised by on its own.
    std::vector<float> computeLocal(std::span<const float> samples, std::size_t span);

private:
    std::vector<float> energies(std::span<const float> samples);
    static void subtractMean(std::vector<float>& out, std::size_t frames, std::size_t span);

    struct Plan;
    Plan* plan_;
};

} // namespace tallyvox

#include "speakers/Fbank.h"

#include <fftw3.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <mutex>
#include <numbers>

namespace tallyvox {
namespace {

constexpr int fftSize = 512;
constexpr int spectrumBins = fftSize / 2; // Kaldi leaves the Nyquist bin out of the mel banks
constexpr double sampleRate = 16000.0;
constexpr double lowHz = 20.0;
constexpr double highHz = 8000.0;
constexpr double preEmphasis = 0.97;

// FFTW's planner is not thread-safe; executing a plan is.
std::mutex plannerMutex;

double mel(double hz) {
    return 1127.0 * std::log(1.0 + hz / 700.0);
}

} // namespace

struct Fbank::Plan {
    float* frame = nullptr;
    fftwf_complex* spectrum = nullptr;
    fftwf_plan fft = nullptr;
    std::vector<double> window;
    // Each mel bin's weights over a contiguous run of spectrum bins.
    struct Bank {
        int first = 0;
        std::vector<float> weights;
    };
    std::vector<Bank> banks;
};

Fbank::Fbank()
    : plan_(new Plan) {
    {
        std::lock_guard lock(plannerMutex);
        plan_->frame = fftwf_alloc_real(fftSize);
        plan_->spectrum = fftwf_alloc_complex(fftSize / 2 + 1);
        plan_->fft = fftwf_plan_dft_r2c_1d(fftSize, plan_->frame, plan_->spectrum, FFTW_ESTIMATE);
    }
    plan_->window.resize(frameLength);
    for (std::size_t i = 0; i < frameLength; ++i)
        plan_->window[i] = 0.54 - 0.46 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                                  static_cast<double>(frameLength - 1));

    double low = mel(lowHz);
    double delta = (mel(highHz) - low) / (bins + 1);
    double binWidth = sampleRate / fftSize;
    for (int b = 0; b < bins; ++b) {
        double left = low + b * delta, centre = left + delta, right = centre + delta;
        Plan::Bank bank;
        bank.first = -1;
        for (int i = 0; i < spectrumBins; ++i) {
            double m = mel(binWidth * i);
            if (m <= left || m >= right)
                continue;
            if (bank.first < 0)
                bank.first = i;
            double w = m <= centre ? (m - left) / (centre - left) : (right - m) / (right - centre);
            // The bins of a bank are contiguous: each one found extends the run by one.
            bank.weights.push_back(static_cast<float>(w));
        }
        bank.first = std::max(bank.first, 0);
        plan_->banks.push_back(std::move(bank));
    }
}

Fbank::~Fbank() {
    std::lock_guard lock(plannerMutex);
    fftwf_destroy_plan(plan_->fft);
    fftwf_free(plan_->frame);
    fftwf_free(plan_->spectrum);
    delete plan_;
}

std::vector<float> Fbank::computeLocal(std::span<const float> samples, std::size_t span) {
    auto out = energies(samples);
    subtractMean(out, frameCount(samples.size()), std::max<std::size_t>(span, 1));
    return out;
}

std::vector<float> Fbank::compute(std::span<const float> samples) {
    auto out = energies(samples);
    // Cepstral mean normalisation over time: the network never saw absolute levels.
    subtractMean(out, frameCount(samples.size()), frameCount(samples.size()));
    return out;
}

void Fbank::subtractMean(std::vector<float>& out, std::size_t frames, std::size_t span) {
    if (frames == 0)
        return;
    span = std::min(span, frames);
    std::vector<double> prefix(frames + 1);
    std::vector<float> means(frames);
    for (int b = 0; b < bins; ++b) {
        const auto bin = static_cast<std::size_t>(b);
        for (std::size_t t = 0; t < frames; ++t)
            prefix[t + 1] = prefix[t] + out[t * bins + bin];
        for (std::size_t t = 0; t < frames; ++t) {
            // The span centred on t, moved inside the clip at its ends; the whole clip when
            // the span is as long.
            std::size_t from = t > span / 2 ? t - span / 2 : 0;
            from = std::min(from, frames - span);
            means[t] = static_cast<float>((prefix[from + span] - prefix[from]) /
                                          static_cast<double>(span));
        }
        for (std::size_t t = 0; t < frames; ++t)
            out[t * bins + bin] -= means[t];
    }
}

std::vector<float> Fbank::energies(std::span<const float> samples) {
    const std::size_t frames = frameCount(samples.size());
    std::vector<float> out(frames * bins);
    std::vector<double> x(frameLength);
    std::vector<float> power(spectrumBins);
    for (std::size_t t = 0; t < frames; ++t) {
        double sum = 0;
        for (std::size_t i = 0; i < frameLength; ++i) {
            x[i] = static_cast<double>(samples[t * frameShift + i]) * 32768.0;
            sum += x[i];
        }
        double mean = sum / static_cast<double>(frameLength);
        for (auto& v : x)
            v -= mean;
        for (std::size_t i = frameLength - 1; i > 0; --i)
            x[i] -= preEmphasis * x[i - 1];
        x[0] -= preEmphasis * x[0];
        for (std::size_t i = 0; i < frameLength; ++i)
            plan_->frame[i] = static_cast<float>(x[i] * plan_->window[i]);
        for (std::size_t i = frameLength; i < fftSize; ++i)
            plan_->frame[i] = 0.0f;
        fftwf_execute(plan_->fft);
        for (std::size_t i = 0; i < spectrumBins; ++i) {
            float re = plan_->spectrum[i][0], im = plan_->spectrum[i][1];
            power[i] = re * re + im * im;
        }
        for (int b = 0; b < bins; ++b) {
            const auto& bank = plan_->banks[static_cast<std::size_t>(b)];
            double energy = 0;
            for (std::size_t i = 0; i < bank.weights.size(); ++i)
                energy += static_cast<double>(bank.weights[i]) *
                          power[static_cast<std::size_t>(bank.first) + i];
            out[t * bins + static_cast<std::size_t>(b)] =
                static_cast<float>(std::log(std::max(energy, static_cast<double>(FLT_EPSILON))));
        }
    }
    return out;
}

} // namespace tallyvox

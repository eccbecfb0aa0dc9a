#include "audio/CaptureProcessor.h"

#include "base/Log.h"

#include <algorithm>
#include <cmath>
#include <spdlog/fmt/fmt.h>

namespace tallyvox {

namespace {
constexpr double outputRate = Resampler::outputRate;

double rms(const std::vector<float>& samples) {
    if (samples.empty())
        return 0;
    double sum = 0;
    for (float s : samples)
        sum += static_cast<double>(s) * s;
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

std::string formatText(double rate, int channels) {
    return fmt::format("{} Hz, {} ch", static_cast<long long>(rate), channels);
}
} // namespace

CaptureProcessor::CaptureProcessor(Clock& clock, std::size_t bufferLimit)
    : clock_(clock)
    , samples_(bufferLimit) {}

bool CaptureProcessor::useStream(std::uint64_t generation, double sampleRate, int channels) {
    auto resampler = Resampler::make(sampleRate, channels);
    if (!resampler)
        return false;
    {
        std::lock_guard lock(convertMutex_);
        resampler_ = std::move(resampler);
        rateTracker_.reset();
        lastMeasured_.reset();
        rateReported_ = false;
        generation_ = generation;
    }
    std::lock_guard lock(stateMutex_);
    stats_.format = formatText(sampleRate, channels);
    return true;
}

void CaptureProcessor::process(const float* interleaved, std::size_t sampleCount,
                               std::uint64_t generation, double at) {
    std::optional<std::vector<float>> converted;
    std::optional<double> measured;
    double claimed = 0;
    {
        std::lock_guard lock(convertMutex_);
        // Buffers of a stream that has been replaced are in another format.
        if (!resampler_ || generation != generation_)
            return;
        const auto channels = static_cast<std::size_t>(resampler_->channels());
        const std::size_t frames = sampleCount / channels;
        if (frames == 0)
            return;
        if (auto rate = rateTracker_.add(static_cast<long>(frames), at))
            measured = checkRateLocked(*rate);
        claimed = resampler_->inputRate();
        converted = resampler_->convert(interleaved, frames);
    }
    if (measured)
        Log::info("Audio arrives at about {} Hz, not {} Hz; keeping the stream's rate",
                  static_cast<long long>(*measured), static_cast<long long>(claimed));
    if (!converted || converted->empty())
        return;

    const double level = rms(*converted);
    const auto count = converted->size();
    int overflowEvents = 0;
    {
        std::lock_guard lock(stateMutex_);
        const std::size_t before = samples_.size() + count;
        const std::size_t excess = samples_.append(converted->data(), count);
        stats_.receivedSeconds += static_cast<double>(count) / outputRate;
        stats_.levelSum += level;
        stats_.callbacks += 1;
        stats_.buffersInCallback = 1;
        stats_.maxBufferedSeconds =
            std::max(stats_.maxBufferedSeconds, static_cast<double>(before) / outputRate);
        if (excess > 0) {
            stats_.overflowEvents += 1;
            stats_.droppedSeconds += static_cast<double>(excess) / outputRate;
            overflowEvents = stats_.overflowEvents;
        }
        stats_.level = static_cast<float>(std::min(4 * level, 1.0));
        if (level > 0.001)
            stats_.lastSoundAt = clock_.now();
    }
    if (overflowEvents == 1 || (overflowEvents > 0 && overflowEvents % 500 == 0))
        Log::error("Capture buffer full: dropping audio (transcription too slow), {} times so far",
                   overflowEvents);
}

std::optional<double> CaptureProcessor::checkRateLocked(double measured) {
    if (measured == resampler_->inputRate()) {
        lastMeasured_.reset();
        return std::nullopt;
    }
    const bool agreed = lastMeasured_ == measured;
    lastMeasured_ = measured;
    if (!agreed || rateReported_)
        return std::nullopt;
    rateReported_ = true;
    return measured;
}

std::vector<float> CaptureProcessor::drain() {
    std::lock_guard lock(stateMutex_);
    return samples_.take();
}

CaptureStats CaptureProcessor::stats() const {
    std::lock_guard lock(stateMutex_);
    CaptureStats copy = stats_;
    copy.bufferedSeconds = static_cast<double>(samples_.size()) / outputRate;
    return copy;
}

void CaptureProcessor::reset() {
    {
        std::lock_guard lock(convertMutex_);
        resampler_.reset();
    }
    std::lock_guard lock(stateMutex_);
    samples_.clear();
    stats_ = CaptureStats();
}

} // namespace tallyvox

#pragma once

#include "audio/CaptureStats.h"
#include "audio/RateTracker.h"
#include "audio/Resampler.h"
#include "audio/SampleBuffer.h"
#include "base/Clock.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

// What happens to each meeting-audio buffer: rate tracking and correction, down-mix and
// resampling to 16 kHz mono, level, the bounded buffer and its figures. Buffers arrive on
// one thread at a time; drain() and stats() may be called from any thread. Two short locks,
// never held together: one for the converter, one for the samples and figures.
class CaptureProcessor {
public:
    CaptureProcessor(Clock& clock, std::size_t bufferLimit);

    // A new stream in this format; buffers of earlier streams are ignored from now on.
    // Answers false when the format cannot be converted.
    bool useStream(std::uint64_t generation, double sampleRate, int channels);

    // One buffer of interleaved float frames of stream `generation`, received at uptime `at`.
    void process(const float* interleaved, std::size_t sampleCount, std::uint64_t generation,
                 double at);

    std::vector<float> drain();
    CaptureStats stats() const;
    // Empties the buffer and starts the figures afresh.
    void reset();

private:
    std::optional<std::string> useRateLocked(double rate);

    Clock& clock_;

    std::mutex convertMutex_;
    std::unique_ptr<Resampler> resampler_;
    RateTracker rateTracker_;
    std::uint64_t generation_ = 0;

    mutable std::mutex stateMutex_;
    SampleBuffer samples_;
    CaptureStats stats_;
};

} // namespace tallyvox

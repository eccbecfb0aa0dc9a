#pragma once

#include "audio/RateTracker.h"
#include "audio/Resampler.h"
#include "audio/SampleBuffer.h"
#include "base/Clock.h"
#include "types/CaptureStats.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

// What happens to each meeting-audio buffer: down-mix and resampling to 16 kHz mono, level,
// the bounded buffer and its figures. The server delivers the rate the stream was opened
// with, so that rate is trusted; the measured arrival rate is only a diagnostic, since
// delivery jitter makes single windows lie. Buffers arrive on
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
    // Ends the stream (buffers still on their way are ignored), empties the buffer and
    // starts the figures afresh.
    void reset();

private:
    // The rate to report when two windows in a row measured the same standard rate other
    // than the stream's.
    std::optional<double> checkRateLocked(double measured);

    Clock& clock_;

    std::mutex convertMutex_;
    std::unique_ptr<Resampler> resampler_;
    RateTracker rateTracker_;
    std::uint64_t generation_ = 0;
    std::optional<double> lastMeasured_;
    bool rateReported_ = false;

    mutable std::mutex stateMutex_;
    SampleBuffer samples_;
    CaptureStats stats_;
};

} // namespace tallyvox

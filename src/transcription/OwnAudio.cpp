#include "transcription/OwnAudio.h"

#include <algorithm>
#include <cmath>

namespace tallyvox {

namespace {
constexpr double sampleRate = 16000;

// Converts before clamping would be undefined for huge or negative times.
size_t sampleIndex(double seconds, size_t count) {
    double position = std::floor(sampleRate * seconds);
    if (!(position > 0))
        return 0;
    if (position >= static_cast<double>(count))
        return count;
    return static_cast<size_t>(position);
}
} // namespace

std::vector<float> ownAudio(std::span<const float> samples, SpeechRange span,
                            const std::optional<std::vector<SpeechRange>>& speech) {
    std::vector<float> out;
    if (speech) {
        for (const auto& range : *speech) {
            size_t from = sampleIndex(std::max(range.start, span.start), samples.size());
            size_t to = std::max(from, sampleIndex(std::min(range.end, span.end), samples.size()));
            out.insert(out.end(), samples.begin() + from, samples.begin() + to);
        }
    }
    if (out.empty()) {
        size_t from = sampleIndex(span.start, samples.size());
        size_t to = std::max(from, sampleIndex(span.end, samples.size()));
        out.assign(samples.begin() + from, samples.begin() + to);
    }
    return out;
}

} // namespace tallyvox

#include "speakers/SpeakerClusterer.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tallyvox {

std::vector<float> SpeakerClusterer::normalized(std::vector<float> v) {
    double squares = 0;
    for (float x : v)
        squares += static_cast<double>(x) * x;
    if (!(squares > 0))
        return v;
    auto length = static_cast<float>(std::sqrt(squares));
    for (float& x : v)
        x /= length;
    return v;
}

float SpeakerClusterer::dot(const std::vector<float>& a, const std::vector<float>& b) {
    size_t n = std::min(a.size(), b.size());
    float sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += a[i] * b[i];
    return sum;
}

std::optional<int> SpeakerClusterer::assign(const std::vector<float>& embedding, double duration) {
    // A NaN compares false with every bar, so it would join the first speaker and make its
    // centroid NaN, which then takes every later voice too: it is heard as no one.
    if (!std::all_of(embedding.begin(), embedding.end(), [](float x) { return std::isfinite(x); }))
        return std::nullopt;
    std::vector<float> e = normalized(embedding);
    auto found = [&] {
        centroids.push_back(std::move(e));
        seconds.push_back(duration);
        return static_cast<int>(centroids.size() - 1);
    };
    if (centroids.empty()) {
        if (duration < minDuration)
            return std::nullopt;
        return found();
    }

    size_t best = 0;
    float bestSimilarity = dot(e, centroids[0]);
    for (size_t i = 1; i < centroids.size(); ++i) {
        float similarity = dot(e, centroids[i]);
        if (similarity > bestSimilarity) {
            best = i;
            bestSimilarity = similarity;
        }
    }
    auto bestNumber = static_cast<int>(best);

    if (duration < minDuration) {
        if (bestSimilarity >= shortNewThreshold)
            return bestNumber;
        return std::nullopt;
    }

    bool young = seconds[best] < longClip;
    float bar = duration >= longClip ? threshold : (young ? youngThreshold : shortNewThreshold);

    auto confident = [&] {
        auto& centroid = centroids[best];
        size_t n = std::min(centroid.size(), e.size());
        centroid.resize(n);
        for (size_t i = 0; i < n; ++i)
            centroid[i] = 0.8f * centroid[i] + 0.2f * e[i];
        centroid = normalized(std::move(centroid));
        seconds[best] += duration;
        return bestNumber;
    };

    if (bestSimilarity < bar) {
        if (std::cmp_less(centroids.size(), std::max(maxSpeakers, 0))) {
            if (duration >= newSpeakerSeconds)
                return found();
            return std::nullopt;
        }
        if (bestSimilarity < threshold)
            return bestNumber;
        return confident();
    }
    if (bestSimilarity < threshold) {
        if (!young)
            return bestNumber;
        auto& centroid = centroids[best];
        size_t n = std::min(centroid.size(), e.size());
        centroid.resize(n);
        auto weight = static_cast<float>(seconds[best]);
        auto added = static_cast<float>(duration);
        for (size_t i = 0; i < n; ++i)
            centroid[i] = centroid[i] * weight + e[i] * added;
        centroid = normalized(std::move(centroid));
        seconds[best] += duration;
        return bestNumber;
    }
    return confident();
}

} // namespace tallyvox

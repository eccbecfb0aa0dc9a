#pragma once

#include <optional>
#include <vector>

namespace tallyvox {

// Online clustering of speaker embeddings against running centroids. Speaker numbers are the
// centroid indexes: centroids are only appended, never removed or reordered, so a number
// stays the same voice for the whole session.
struct SpeakerClusterer {
    float threshold = 0.6f;          // confident match; also the bar for long clips
    float shortNewThreshold = 0.35f; // short clips, and medium clips against an established voice
    float youngThreshold = 0.45f;    // medium clips against a young voice
    double minDuration = 1.0;        // below it a clip never founds or updates a speaker
    double longClip = 3.0;           // long-clip length; also the age a speaker stops being young
    double newSpeakerSeconds = 2.0;  // shortest clip that founds a speaker once one exists
    int maxSpeakers = 500;           // automatic speakers end where hand-added ones begin
    std::vector<std::vector<float>> centroids;
    std::vector<double> seconds; // accumulated clip seconds, parallel to centroids

    SpeakerClusterer() = default;
    explicit SpeakerClusterer(float threshold, int maxSpeakers = 500)
        : threshold(threshold)
        , maxSpeakers(maxSpeakers) {}

    // The speaker of a clip of `duration` seconds, learning from it where the rules allow. An
    // embedding holding a NaN or an infinity gets none and teaches nothing.
    std::optional<int> assign(const std::vector<float>& embedding, double duration);

    static std::vector<float> normalized(std::vector<float> v);
    // Over the shorter of the two vectors.
    static float dot(const std::vector<float>& a, const std::vector<float>& b);
};

} // namespace tallyvox

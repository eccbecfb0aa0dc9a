#pragma once

#include "speakers/Embedder.h"
#include "speakers/SpeakerClusterer.h"
#include "transcription/Diarizer.h"

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace tallyvox {

// Tells the voices of one session apart: embeds every line of a window, splits long lines
// where the voice changes and clusters the embeddings into anonymous speaker numbers. Lives
// for one session on the engine's serial queue; not thread-safe.
class SpeakerDiarizationService : public Diarizer {
public:
    static constexpr double longLine = 4.0;
    static constexpr double changeWindow = 1.5;
    static constexpr double changeStep = 0.5;
    static constexpr float changeThreshold = 0.45f;
    // Quieter lines than this say too little about the voice to be given a speaker.
    static constexpr double minHeard = 0.25;
    // Pooled change windows (Embedder::embedRanges) decide alone only where their similarity
    // is this far above changeThreshold; nearer, the windows around the point are heard again
    // as rows of their own, so the change times are those of rows wherever the pooled
    // similarity is off by less than this.
    static constexpr float pooledMargin = 0.2f;

    struct ChangePoint {
        double t = 0;
        float sim = 0;
        bool operator==(const ChangePoint&) const = default;
    };

    explicit SpeakerDiarizationService(std::unique_ptr<Embedder> embedder);

    // A failing model is logged and leaves the window's lines uncut and without speakers;
    // what the clusterer learned from earlier windows stays.
    Labelled label(const std::vector<WhisperSegment>& segments, std::span<const float> audio,
                   const std::optional<std::vector<SpeechRange>>& speech,
                   bool cutLongLines) override;

    // One embedding per span, each from the span's own audio; throws when the model fails.
    std::vector<std::vector<float>>
    embeddings(const std::vector<SpeechRange>& spans, std::span<const float> audio,
               const std::optional<std::vector<SpeechRange>>& speech);

    // The similarity of the 1.5 s before and after each candidate time of a line (empty for a
    // line too short to hold four windows); throws when the model fails.
    std::vector<ChangePoint> changePoints(const WhisperSegment& segment,
                                          std::span<const float> audio,
                                          const std::optional<std::vector<SpeechRange>>& speech);

    const SpeakerClusterer& clusterer() const { return clusterer_; }

    // Each voice-change window through a looped row of its own, as the model defines it (the
    // default), or, with false, through whatever cheaper way the model offers
    // (Embedder::embedRanges). Pooled windows stay off by default: on a network whose
    // similarities spread as a trained one's do, they land near the threshold so often that
    // nearly every window is heard again as a row, and they cost more than the rows alone
    // (bench/README.md, `speaker_meeting_bench`).
    void setExactChangeWindows(bool exact) { exactWindows_ = exact; }

    static std::vector<double> changes(const std::vector<ChangePoint>& points);
    static std::vector<WhisperSegment> cut(const WhisperSegment& segment,
                                           const std::vector<double>& times);
    static double spoken(SpeechRange span, const std::optional<std::vector<SpeechRange>>& speech);
    static double weight(double heard, size_t words);
    // Each clip looped from its beginning to fill a row; an empty clip leaves the row silent.
    static std::vector<float> row(const std::vector<float>& clip);

private:
    std::vector<std::vector<float>> batch(const std::vector<SpeechRange>& spans,
                                          std::span<const float> audio,
                                          const std::optional<std::vector<SpeechRange>>& speech);

    std::unique_ptr<Embedder> embedder_;
    SpeakerClusterer clusterer_;
    bool exactWindows_ = true;
};

// The engine's loader over a model loader: a model that fails to load throws out of the
// returned loader, and the engine carries on without speakers.
using EmbedderLoader = std::function<std::unique_ptr<Embedder>()>;
DiarizerLoader diarizerLoader(EmbedderLoader loadEmbedder);

} // namespace tallyvox

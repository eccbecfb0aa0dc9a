#include "speakers/SpeakerDiarizationService.h"

#include "base/Error.h"
#include "base/Log.h"
#include "transcription/OwnAudio.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>

namespace tallyvox {

namespace {

size_t wordCount(const WhisperSegment& segment) {
    if (!segment.words.empty())
        return segment.words.size();
    size_t count = 0;
    bool inWord = false;
    for (char c : segment.text) {
        bool space = c == ' ';
        if (!space && !inWord)
            ++count;
        inWord = !space;
    }
    return count;
}

// Clustering compares embeddings element by element, so a ragged or empty answer would
// silently match voices on a prefix, and a NaN or an infinity would match every voice.
void checkAnswer(const std::vector<std::vector<float>>& out, size_t clips) {
    if (out.size() != clips)
        throw Error("The speaker model gave " + std::to_string(out.size()) + " embeddings for " +
                    std::to_string(clips) + " clips.");
    for (const auto& embedding : out) {
        if (embedding.empty() || embedding.size() != out.front().size())
            throw Error("The speaker model gave embeddings of differing lengths.");
        if (!std::all_of(embedding.begin(), embedding.end(),
                         [](float x) { return std::isfinite(x); }))
            throw Error("The speaker model gave an embedding that is not a finite number.");
    }
}

// As ownAudio rounds times to samples.
size_t sampleIndex(double seconds, size_t count) {
    double position = std::floor(16000.0 * seconds);
    if (!(position > 0))
        return 0;
    if (position >= static_cast<double>(count))
        return count;
    return static_cast<size_t>(position);
}

// Where the own audio of a span comes from in the buffer: one piece per speech range, in the
// order ownAudio joins them (empty where the range misses the span), or the span itself as the
// only piece when no speech is heard in it.
struct Pieces {
    std::vector<Embedder::Range> pieces;
    bool wholeSpan = false;
};

Pieces ownPieces(size_t count, SpeechRange span,
                 const std::optional<std::vector<SpeechRange>>& speech) {
    Pieces out;
    bool heard = false;
    if (speech) {
        for (const auto& range : *speech) {
            size_t from = sampleIndex(std::max(range.start, span.start), count);
            size_t to = std::max(from, sampleIndex(std::min(range.end, span.end), count));
            out.pieces.push_back({from, to});
            heard = heard || to > from;
        }
    }
    if (!heard) {
        size_t from = sampleIndex(span.start, count);
        out.pieces = {{from, std::max(from, sampleIndex(span.end, count))}};
        out.wholeSpan = true;
    }
    return out;
}

// The samples of the line's own audio that are exactly the window's own audio, when they form
// one unbroken stretch of it; nothing otherwise (the window then gets a row of its own).
std::optional<Embedder::Range> rangeInLine(const Pieces& line, const Pieces& window) {
    if (line.wholeSpan != window.wholeSpan || line.pieces.size() != window.pieces.size())
        return std::nullopt;
    std::optional<Embedder::Range> found;
    size_t offset = 0;
    for (size_t i = 0; i < line.pieces.size(); ++i) {
        const auto& l = line.pieces[i];
        const auto& w = window.pieces[i];
        if (w.to > w.from) {
            if (w.from < l.from || w.to > l.to)
                return std::nullopt;
            Embedder::Range here{offset + (w.from - l.from), offset + (w.to - l.from)};
            if (found && found->to != here.from)
                return std::nullopt;
            found = found ? Embedder::Range{found->from, here.to} : here;
        }
        offset += l.to - l.from;
    }
    return found;
}

std::string trimmedSpacesAndTabs(std::string_view text) {
    size_t from = text.find_first_not_of(" \t");
    if (from == std::string_view::npos)
        return {};
    size_t to = text.find_last_not_of(" \t");
    return std::string(text.substr(from, to - from + 1));
}

} // namespace

SpeakerDiarizationService::SpeakerDiarizationService(std::unique_ptr<Embedder> embedder)
    : embedder_(std::move(embedder)) {
    if (!embedder_)
        throw Error("The speaker model is missing.");
}

std::vector<float> SpeakerDiarizationService::row(const std::vector<float>& clip) {
    return Embedder::looped(clip);
}

std::vector<std::vector<float>>
SpeakerDiarizationService::batch(const std::vector<SpeechRange>& spans,
                                 std::span<const float> audio,
                                 const std::optional<std::vector<SpeechRange>>& speech) {
    std::vector<std::vector<float>> rows;
    rows.reserve(spans.size());
    for (const auto& span : spans)
        rows.push_back(row(ownAudio(audio, span, speech)));
    auto out = embedder_->embed(rows);
    checkAnswer(out, spans.size());
    return out;
}

std::vector<std::vector<float>>
SpeakerDiarizationService::embeddings(const std::vector<SpeechRange>& spans,
                                      std::span<const float> audio,
                                      const std::optional<std::vector<SpeechRange>>& speech) {
    std::vector<std::vector<float>> out;
    out.reserve(spans.size());
    for (const auto& span : spans)
        out.push_back(std::move(batch({span}, audio, speech).front()));
    return out;
}

double SpeakerDiarizationService::spoken(SpeechRange span,
                                         const std::optional<std::vector<SpeechRange>>& speech) {
    if (!speech)
        return span.end - span.start;
    double total = 0;
    for (const auto& range : *speech)
        total += std::max(0.0, std::min(span.end, range.end) - std::max(span.start, range.start));
    return total;
}

double SpeakerDiarizationService::weight(double heard, size_t words) {
    // One to three words are too little to found a voice on, which takes 2.0 s.
    if (heard > 1.9 && words < 4)
        return 1.9;
    return heard;
}

std::vector<double> SpeakerDiarizationService::changes(const std::vector<ChangePoint>& points) {
    struct Kept {
        double t;
        float sim;
    };
    std::vector<Kept> kept;
    for (size_t i = 0; i < points.size(); ++i) {
        const auto& point = points[i];
        bool candidate = point.sim < changeThreshold &&
                         (i == 0 || point.sim <= points[i - 1].sim) &&
                         (i + 1 == points.size() || point.sim <= points[i + 1].sim);
        if (!candidate)
            continue;
        // One voice change shows as a dip a few windows wide; the deepest point of it wins.
        if (!kept.empty() && point.t - kept.back().t < 2.0) {
            if (point.sim < kept.back().sim)
                kept.back() = {point.t, point.sim};
        } else {
            kept.push_back({point.t, point.sim});
        }
    }
    std::vector<double> times;
    times.reserve(kept.size());
    for (const auto& k : kept)
        times.push_back(k.t);
    return times;
}

std::vector<WhisperSegment> SpeakerDiarizationService::cut(const WhisperSegment& segment,
                                                           const std::vector<double>& times) {
    const auto& words = segment.words;
    if (words.size() < 2)
        return {segment};
    std::vector<size_t> boundaries;
    for (double t : times) {
        if (!(t > segment.start && t < segment.end))
            continue;
        // Never the last word: a cut after it would leave an empty piece.
        size_t best = 0;
        double bestDistance = std::abs(words[0].end - t);
        for (size_t k = 1; k + 1 < words.size(); ++k) {
            double distance = std::abs(words[k].end - t);
            if (distance < bestDistance) {
                best = k;
                bestDistance = distance;
            }
        }
        boundaries.push_back(best);
    }
    if (boundaries.empty())
        return {segment};
    std::sort(boundaries.begin(), boundaries.end());
    boundaries.erase(std::unique(boundaries.begin(), boundaries.end()), boundaries.end());
    boundaries.push_back(words.size() - 1);

    std::vector<WhisperSegment> pieces;
    size_t first = 0;
    for (size_t b = 0; b < boundaries.size(); ++b) {
        size_t last = boundaries[b];
        WhisperSegment piece;
        piece.start = b == 0 ? segment.start : words[first].start;
        piece.end = b + 1 == boundaries.size() ? segment.end : words[last].end;
        std::string text;
        for (size_t k = first; k <= last; ++k) {
            text += words[k].text;
            piece.words.push_back(words[k]);
        }
        piece.text = trimmedSpacesAndTabs(text);
        pieces.push_back(std::move(piece));
        first = last + 1;
    }
    return pieces;
}

std::vector<SpeakerDiarizationService::ChangePoint>
SpeakerDiarizationService::changePoints(const WhisperSegment& segment, std::span<const float> audio,
                                        const std::optional<std::vector<SpeechRange>>& speech) {
    // Counted in whole steps so a window that ends exactly at the line's end is not lost to
    // rounding.
    double room = segment.end - changeWindow - segment.start;
    if (room < 0)
        return {};
    auto starts = static_cast<size_t>(std::floor(room / changeStep + 1e-9)) + 1;
    if (starts < 4)
        return {};
    std::vector<double> t(starts);
    std::vector<std::vector<float>> e(starts);
    // Windows whose own audio is one stretch of the line's own audio (all of them, unless the
    // speech ranges overlap or a window holds no speech) are asked for together, so that a
    // model that can hear the line once does so, rather than run one row per window.
    const SpeechRange span{segment.start, segment.end};
    const auto line = ownPieces(audio.size(), span, speech);
    std::vector<size_t> inLine, alone;
    std::vector<Embedder::Range> ranges;
    for (size_t i = 0; i < starts; ++i) {
        t[i] = segment.start + static_cast<double>(i) * changeStep;
        auto range =
            rangeInLine(line, ownPieces(audio.size(), {t[i], t[i] + changeWindow}, speech));
        if (range && range->to > range->from) {
            inLine.push_back(i);
            ranges.push_back(*range);
        } else {
            alone.push_back(i);
        }
    }
    const auto clip = ranges.empty() ? std::vector<float>() : ownAudio(audio, span, speech);
    if (!ranges.empty()) {
        auto out = exactWindows_ ? Embedder::exactRanges(*embedder_, clip, ranges)
                                 : embedder_->embedRanges(clip, ranges);
        checkAnswer(out, ranges.size());
        for (size_t k = 0; k < inLine.size(); ++k)
            e[inLine[k]] = SpeakerClusterer::normalized(std::move(out[k]));
    }
    for (size_t i : alone)
        e[i] = SpeakerClusterer::normalized(
            std::move(batch({{t[i], t[i] + changeWindow}}, audio, speech).front()));
    auto sameLengths = [&] {
        if (std::any_of(e.begin(), e.end(),
                        [&](const auto& v) { return v.size() != e.front().size(); }))
            throw Error("The speaker model gave embeddings of differing lengths.");
    };
    sameLengths();
    // The 1.5 s before a time against the 1.5 s after it.
    std::vector<ChangePoint> points;
    for (size_t i = 0; i + 3 < starts; ++i)
        points.push_back({t[i] + changeWindow, SpeakerClusterer::dot(e[i], e[i + 3])});
    if (exactWindows_ || ranges.empty())
        return points;

    // A point can only become a change, or decide whether a neighbour is a local minimum, when
    // it is near the threshold: such points and their neighbours get the windows they compare
    // as rows of their own.
    std::vector<bool> redo(starts, false), exactPoint(points.size(), false);
    for (size_t i = 0; i < points.size(); ++i) {
        if (points[i].sim >= changeThreshold + pooledMargin)
            continue;
        for (size_t p = i > 0 ? i - 1 : 0; p <= std::min(i + 1, points.size() - 1); ++p) {
            exactPoint[p] = true;
            redo[p] = redo[p + 3] = true;
        }
    }
    std::vector<size_t> again;
    std::vector<Embedder::Range> rows;
    for (size_t k = 0; k < inLine.size(); ++k) {
        if (redo[inLine[k]]) {
            again.push_back(k);
            rows.push_back(ranges[k]);
        }
    }
    if (again.empty())
        return points;
    auto out = Embedder::exactRanges(*embedder_, clip, rows);
    checkAnswer(out, rows.size());
    for (size_t k = 0; k < again.size(); ++k)
        e[inLine[again[k]]] = SpeakerClusterer::normalized(std::move(out[k]));
    sameLengths();
    for (size_t i = 0; i < points.size(); ++i)
        if (exactPoint[i])
            points[i].sim = SpeakerClusterer::dot(e[i], e[i + 3]);
    return points;
}

Diarizer::Labelled SpeakerDiarizationService::label(
    const std::vector<WhisperSegment>& segments, std::span<const float> audio,
    const std::optional<std::vector<SpeechRange>>& speech, bool cutLongLines) {
    try {
        std::vector<WhisperSegment> pieces;
        for (const auto& segment : segments) {
            if (cutLongLines && segment.end - segment.start > longLine && !segment.words.empty()) {
                auto split = cut(segment, changes(changePoints(segment, audio, speech)));
                pieces.insert(pieces.end(), split.begin(), split.end());
            } else {
                pieces.push_back(segment);
            }
        }
        // Every embedding is taken before any is clustered, so a model failing halfway
        // through a window teaches the clusterer nothing from it.
        std::vector<std::vector<float>> embedded;
        embedded.reserve(pieces.size());
        for (const auto& piece : pieces)
            embedded.push_back(std::move(batch({{piece.start, piece.end}}, audio, speech).front()));

        Labelled out;
        out.reserve(pieces.size());
        for (size_t i = 0; i < pieces.size(); ++i) {
            double heard = spoken({pieces[i].start, pieces[i].end}, speech);
            std::optional<int> speaker;
            if (heard >= minHeard)
                speaker = clusterer_.assign(embedded[i], weight(heard, wordCount(pieces[i])));
            out.emplace_back(std::move(pieces[i]), speaker);
        }
        return out;
    } catch (const std::exception& e) {
        Log::error("Diarization failed: {}", e.what());
        Labelled out;
        out.reserve(segments.size());
        for (const auto& segment : segments)
            out.emplace_back(segment, std::nullopt);
        return out;
    }
}

DiarizerLoader diarizerLoader(EmbedderLoader loadEmbedder) {
    return [load = std::move(loadEmbedder)]() -> std::unique_ptr<Diarizer> {
        return std::make_unique<SpeakerDiarizationService>(load());
    };
}

} // namespace tallyvox

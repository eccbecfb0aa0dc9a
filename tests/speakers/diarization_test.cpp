#include "speakers/SpeakerDiarizationService.h"

#include "base/Error.h"
#include "base/Log.h"
#include "transcription/OwnAudio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

using namespace tallyvox;

namespace {

constexpr size_t rate = 16000;

// Voices are sample values: voice v is a constant v / 10. The embedding counts the samples of
// each voice, so a clip that mixes two voices lies between them and silence is the zero vector.
class VoiceCounter : public Embedder {
public:
    std::vector<std::vector<float>> embed(const std::vector<std::vector<float>>& rows) override {
        ++calls;
        if (failAtCall && calls == *failAtCall)
            throw Error("the model ran out of memory");
        this->rows.insert(this->rows.end(), rows.begin(), rows.end());
        std::vector<std::vector<float>> out;
        for (const auto& row : rows) {
            std::vector<float> counts(4, 0.0f);
            for (float x : row) {
                auto voice = static_cast<int>(std::lround(x * 10));
                if (voice >= 1 && voice <= 4)
                    counts[static_cast<size_t>(voice - 1)] += 1;
            }
            out.push_back(counts);
        }
        if (dropOne)
            out.pop_back();
        if (poison)
            for (auto& embedding : out)
                embedding.back() = *poison;
        return out;
    }

    int calls = 0;
    std::optional<int> failAtCall;
    bool dropOne = false;
    std::optional<float> poison; // put into every embedding
    std::vector<std::vector<float>> rows;
};

struct Fixture {
    VoiceCounter* model = nullptr;
    std::unique_ptr<SpeakerDiarizationService> service;
    Fixture() {
        auto counter = std::make_unique<VoiceCounter>();
        model = counter.get();
        service = std::make_unique<SpeakerDiarizationService>(std::move(counter));
    }
};

// `seconds` of each voice in turn.
std::vector<float> voices(std::initializer_list<std::pair<int, double>> parts) {
    std::vector<float> out;
    for (auto [voice, seconds] : parts)
        out.insert(out.end(), static_cast<size_t>(seconds * rate), static_cast<float>(voice) / 10);
    return out;
}

// A line of `count` words of 0.5 s each, every word ending 0.05 s before the next begins.
WhisperSegment line(double start, size_t count) {
    WhisperSegment s{start, start + 0.5 * static_cast<double>(count), "", {}};
    for (size_t k = 0; k < count; ++k) {
        double from = start + 0.5 * static_cast<double>(k);
        std::string text = " w" + std::to_string(k);
        s.words.push_back({from, from + 0.45, text});
        s.text += text;
    }
    s.text.erase(0, 1);
    return s;
}

WhisperSegment plain(double start, double end, std::string text) {
    return {start, end, std::move(text), {}};
}

std::vector<std::optional<int>> speakers(const Diarizer::Labelled& labelled) {
    std::vector<std::optional<int>> out;
    for (const auto& [segment, speaker] : labelled)
        out.push_back(speaker);
    return out;
}

} // namespace

TEST(Diarization, FirstLineFoundsASpeakerFromOneSecondAndQuietLinesGetNone) {
    Fixture f;
    auto audio = voices({{1, 10}});
    auto labelled = f.service->label({plain(0, 0.8, "hello there")}, audio, std::nullopt, true);
    EXPECT_EQ(speakers(labelled), std::vector<std::optional<int>>{std::nullopt});
    EXPECT_TRUE(f.service->clusterer().centroids.empty());

    // Five seconds long but only 0.2 s of it detected as speech.
    std::vector<SpeechRange> speech{{2.0, 2.2}};
    labelled = f.service->label({plain(0, 5, "a b c d e")}, audio, speech, true);
    EXPECT_EQ(speakers(labelled), std::vector<std::optional<int>>{std::nullopt});
    EXPECT_TRUE(f.service->clusterer().centroids.empty());

    labelled = f.service->label({plain(1, 2, "hello there")}, audio, std::nullopt, true);
    EXPECT_EQ(speakers(labelled), std::vector<std::optional<int>>{0});
}

TEST(Diarization, FewWordsAreWeighedBelowWhatFoundsASpeaker) {
    EXPECT_EQ(SpeakerDiarizationService::weight(3.5, 3), 1.9);
    EXPECT_EQ(SpeakerDiarizationService::weight(3.5, 4), 3.5);
    EXPECT_EQ(SpeakerDiarizationService::weight(1.5, 1), 1.5);

    Fixture f;
    auto audio = voices({{1, 4}, {2, 4}});
    f.service->label({plain(0, 4, "one two three four")}, audio, std::nullopt, false);
    // The second voice says three words for 3.5 s: at 1.9 s it cannot found a speaker.
    auto labelled = f.service->label({plain(4, 7.5, "one two three")}, audio, std::nullopt, false);
    EXPECT_EQ(speakers(labelled), std::vector<std::optional<int>>{std::nullopt});
    // Counted from word timings when there are any, not from the text.
    WhisperSegment timed = plain(4, 7.5, "one two three");
    for (double t = 4; t < 7.5; t += 0.875)
        timed.words.push_back({t, t + 0.5, " x"});
    labelled = f.service->label({timed}, audio, std::nullopt, false);
    EXPECT_EQ(speakers(labelled), std::vector<std::optional<int>>{1});
}

TEST(Diarization, SpokenCountsOnlyDetectedSpeechInsideTheSpan) {
    using S = SpeakerDiarizationService;
    EXPECT_EQ(S::spoken({1, 3}, std::nullopt), 2.0);
    EXPECT_EQ(S::spoken({1, 3}, std::vector<SpeechRange>{}), 0.0);
    EXPECT_DOUBLE_EQ(S::spoken({1, 3}, std::vector<SpeechRange>{{0, 1.5}, {2.5, 9}, {4, 5}}), 1.0);
}

TEST(Diarization, ClipsAreLoopedToFillTheRowAndLongOnesCutAtTenSeconds) {
    std::vector<float> ramp(2 * rate);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<float>(i) / static_cast<float>(ramp.size());
    auto row = SpeakerDiarizationService::row(ramp);
    ASSERT_EQ(row.size(), Embedder::rowSamples);
    for (size_t repeat = 0; repeat < 5; ++repeat)
        EXPECT_TRUE(std::equal(ramp.begin(), ramp.end(), row.begin() + repeat * ramp.size()));

    Fixture f;
    std::vector<float> audio(14 * rate);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = static_cast<float>(i);
    f.service->label({plain(1, 13, "a long line of words")}, audio, std::nullopt, false);
    ASSERT_EQ(f.model->rows.size(), 1u);
    EXPECT_EQ(f.model->rows[0].front(), static_cast<float>(rate));
    EXPECT_EQ(f.model->rows[0].back(), static_cast<float>(rate + Embedder::rowSamples - 1));

    // Only the detected speech is heard, joined in order.
    std::vector<SpeechRange> speech{{0, 1.5}, {3, 3.5}};
    f.service->label({plain(1, 4, "words")}, audio, speech, false);
    ASSERT_EQ(f.model->rows.size(), 2u);
    EXPECT_EQ(f.model->rows[1][0], static_cast<float>(rate));
    EXPECT_EQ(f.model->rows[1][rate / 2], static_cast<float>(3 * rate));
    EXPECT_EQ(f.model->rows[1][rate], static_cast<float>(rate)) << "looped after one second";

    // A line beyond the buffer is heard as silence rather than read past the end.
    f.service->label({plain(20, 22, "gone")}, audio, std::nullopt, false);
    ASSERT_EQ(f.model->rows.size(), 3u);
    EXPECT_EQ(f.model->rows[2], std::vector<float>(Embedder::rowSamples, 0.0f));
}

TEST(Diarization, ALongLineIsSplitAfterTheWordEndingNearestTheVoiceChange) {
    Fixture f;
    auto audio = voices({{1, 3}, {2, 3}});
    auto labelled = f.service->label({line(0, 12)}, audio, std::nullopt, true);
    ASSERT_EQ(labelled.size(), 2u);
    const auto& first = labelled[0].first;
    const auto& second = labelled[1].first;
    EXPECT_EQ(first.start, 0.0);
    EXPECT_DOUBLE_EQ(first.end, 2.95);
    EXPECT_EQ(first.text, "w0 w1 w2 w3 w4 w5");
    EXPECT_EQ(first.words.size(), 6u);
    EXPECT_EQ(second.start, 3.0);
    EXPECT_EQ(second.end, 6.0);
    EXPECT_EQ(second.text, "w6 w7 w8 w9 w10 w11");
    EXPECT_EQ(speakers(labelled), (std::vector<std::optional<int>>{0, 1}));

    // Behind on audio, the line is kept whole and heard once.
    Fixture behind;
    labelled = behind.service->label({line(0, 12)}, audio, std::nullopt, false);
    EXPECT_EQ(labelled.size(), 1u);
    EXPECT_EQ(behind.model->calls, 1);
}

TEST(Diarization, OnlyLinesLongerThanFourSecondsAreExamined) {
    auto audio = voices({{1, 6}});
    Fixture exact;
    exact.service->label({line(0, 8)}, audio, std::nullopt, true);
    EXPECT_EQ(exact.model->calls, 1);

    Fixture longer;
    WhisperSegment timed = line(0, 8);
    timed.end = 4.01;
    longer.service->label({timed}, audio, std::nullopt, true);
    EXPECT_EQ(longer.model->calls, 1 + 6) << "windows start every 0.5 s up to 2.5 s";
}

TEST(Diarization, ChangesKeepTheDeepestDipWithinTwoSeconds) {
    using S = SpeakerDiarizationService;
    EXPECT_EQ(S::changes({{1.5, 0.9f}, {2.0, 0.3f}, {2.5, 0.8f}, {3.5, 0.2f}, {4.0, 0.9f}}),
              std::vector<double>{3.5});
    EXPECT_EQ(S::changes({{1.5, 0.2f}, {2.0, 0.9f}, {3.0, 0.3f}, {3.5, 0.9f}}),
              std::vector<double>{1.5});
    EXPECT_EQ(S::changes({{1.5, 0.2f}, {2.0, 0.9f}, {3.5, 0.3f}}), (std::vector<double>{1.5, 3.5}));
    EXPECT_TRUE(S::changes({{1.5, 0.45f}, {2.0, 0.9f}}).empty()) << "0.45 is no change";
}

TEST(Diarization, CutNeverLeavesAnEmptyPiece) {
    using S = SpeakerDiarizationService;
    WhisperSegment one = line(0, 1);
    EXPECT_EQ(S::cut(one, {0.2}), std::vector<WhisperSegment>{one});
    WhisperSegment four = line(0, 4);
    EXPECT_EQ(S::cut(four, {0.0, 2.0, 5.0}), std::vector<WhisperSegment>{four});

    // Near the last word's end, the cut falls before the last word instead.
    auto pieces = S::cut(four, {1.99});
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[1].text, "w3");
    // Equally near two word ends: the earlier; two times on one word: one cut.
    WhisperSegment even{
        0, 3, "a b c d", {{0, 0.5, " a"}, {1, 1.5, " b"}, {2, 2.5, " c"}, {2.5, 3, " d"}}};
    pieces = S::cut(even, {1.0, 0.75});
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].text, "a");
    EXPECT_EQ(pieces[0].end, 0.5);
    EXPECT_EQ(pieces[1].text, "b c d");
    EXPECT_EQ(pieces[1].start, 1.0);
    EXPECT_EQ(pieces[1].end, 3.0);
    EXPECT_EQ(pieces[1].words.size(), 3u);
}

TEST(Diarization, AFailingModelLeavesTheWindowUncutAndTheClustererAsItWas) {
    Fixture f;
    auto audio = voices({{1, 3}, {2, 3}});
    f.service->label({plain(0, 3, "one two three four")}, audio, std::nullopt, true);
    auto learned = f.service->clusterer().centroids;

    Log::Capture log;
    f.model->failAtCall = f.model->calls + 3;
    std::vector<WhisperSegment> given{line(0, 12), plain(0, 3, "one two three four")};
    auto labelled = f.service->label(given, audio, std::nullopt, true);
    ASSERT_EQ(labelled.size(), 2u);
    EXPECT_EQ(labelled[0].first, given[0]);
    EXPECT_EQ(labelled[1].first, given[1]);
    EXPECT_EQ(speakers(labelled), (std::vector<std::optional<int>>{std::nullopt, std::nullopt}));
    EXPECT_TRUE(log.contains("Diarization failed: the model ran out of memory"));
    EXPECT_EQ(f.service->clusterer().centroids, learned);

    // Failing on the second line of a window: the first new voice is not learned either.
    f.model->failAtCall = f.model->calls + 2;
    labelled = f.service->label({plain(3, 6, "five six seven eight"), plain(0, 3, "one two")},
                                audio, std::nullopt, true);
    EXPECT_EQ(speakers(labelled), (std::vector<std::optional<int>>{std::nullopt, std::nullopt}));
    EXPECT_EQ(f.service->clusterer().centroids, learned);

    // A model answering with fewer embeddings than clips is a failure, not a shifted match.
    f.model->failAtCall.reset();
    f.model->dropOne = true;
    labelled = f.service->label({plain(3, 6, "five six seven eight")}, audio, std::nullopt, true);
    EXPECT_EQ(labelled[0].second, std::nullopt);
    EXPECT_EQ(f.service->clusterer().centroids, learned);

    // The next window is tried again.
    f.model->dropOne = false;
    labelled = f.service->label({plain(3, 6, "five six seven eight")}, audio, std::nullopt, true);
    EXPECT_EQ(labelled[0].second, 1);
}

// A NaN once reached the clusterer, founded a speaker with a NaN centroid and so took every
// later voice as that one.
TEST(Diarization, ANonFiniteEmbeddingIsTheModelFailingNotAVoice) {
    Fixture f;
    auto audio = voices({{1, 3}, {2, 3}});
    for (float poison :
         {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()}) {
        Log::Capture log;
        f.model->poison = poison;
        std::vector<WhisperSegment> given{line(0, 12), plain(0, 3, "one two three four")};
        auto labelled = f.service->label(given, audio, std::nullopt, true);
        ASSERT_EQ(labelled.size(), 2u);
        EXPECT_EQ(labelled[0].first, given[0]) << "left uncut";
        EXPECT_EQ(speakers(labelled),
                  (std::vector<std::optional<int>>{std::nullopt, std::nullopt}));
        EXPECT_TRUE(log.contains("Diarization failed: The speaker model gave an embedding that "
                                 "is not a finite number."));
        EXPECT_TRUE(f.service->clusterer().centroids.empty());
    }

    f.model->poison.reset();
    auto labelled =
        f.service->label({plain(0, 3, "one two three four"), plain(3, 6, "five six seven eight")},
                         audio, std::nullopt, true);
    EXPECT_EQ(speakers(labelled), (std::vector<std::optional<int>>{0, 1}));
}

namespace {

// Pools ranges as a one-pass model would: each range also hears a quarter of the 1.5 s of
// the clip before it. Keeps what it was asked.
class Blurring : public VoiceCounter {
public:
    std::vector<std::vector<float>> embedRanges(std::span<const float> clip,
                                                const std::vector<Range>& ranges) override {
        ++rangeCalls;
        std::vector<std::vector<float>> out;
        for (const auto& range : ranges) {
            auto part = clip.subspan(range.from, range.to - range.from);
            heard.emplace_back(part.begin(), part.end());
            auto e = counts(part);
            size_t from = range.from > 24000 ? range.from - 24000 : 0;
            auto before = counts(clip.subspan(from, range.from - from));
            for (size_t k = 0; k < e.size(); ++k)
                e[k] += 0.25f * before[k];
            out.push_back(e);
        }
        if (dropRange)
            out.pop_back();
        return out;
    }
    static std::vector<float> counts(std::span<const float> samples) {
        std::vector<float> c(4, 0.0f);
        for (float x : samples) {
            auto voice = static_cast<int>(std::lround(x * 10));
            if (voice >= 1 && voice <= 4)
                c[static_cast<size_t>(voice - 1)] += 1;
        }
        return c;
    }
    int rangeCalls = 0;
    bool dropRange = false;
    std::vector<std::vector<float>> heard;
};

struct Pair {
    Blurring* model = nullptr;
    std::unique_ptr<SpeakerDiarizationService> fast;
    Fixture exact;
    Pair() {
        auto blurring = std::make_unique<Blurring>();
        model = blurring.get();
        fast = std::make_unique<SpeakerDiarizationService>(std::move(blurring));
        fast->setExactChangeWindows(false);
    }
};

} // namespace

TEST(Diarization, ChangeWindowsOfALineAreAskedForAtOnceAsStretchesOfTheLinesOwnAudio) {
    // One voice, and speech with a 1.8 s hole that one window falls into entirely.
    auto audio = voices({{1, 8}});
    std::vector<SpeechRange> speech{{0, 2.0}, {2.2, 3.0}, {4.8, 8}};
    Pair p;
    auto points = p.fast->changePoints(line(0, 16), audio, speech);
    ASSERT_EQ(points.size(), 11u) << "14 windows from 0 to 6.5 s";
    // One call for the 13 windows that hold speech; the one from 3.0 s to 4.5 s hears its
    // whole span as a row, as it always did. One voice throughout: nothing is heard again.
    EXPECT_EQ(p.model->rangeCalls, 1);
    EXPECT_EQ(p.model->calls, 1);
    ASSERT_EQ(p.model->heard.size(), 13u);
    size_t k = 0;
    for (size_t i = 0; i < 14; ++i) {
        double t = 0.5 * static_cast<double>(i);
        auto own = ownAudio(audio, {t, t + 1.5}, speech);
        if (t == 3.0)
            EXPECT_EQ(p.model->rows.at(0), SpeakerDiarizationService::row(own));
        else
            EXPECT_EQ(p.model->heard[k++], own) << "window at " << t;
    }
    for (const auto& point : points)
        EXPECT_FLOAT_EQ(point.sim, 1.0f) << "at " << point.t;

    // A model that does not pool hears every window as a row through the same call.
    Fixture plainModel;
    EXPECT_EQ(plainModel.service->changePoints(line(0, 16), audio, speech), points);
    EXPECT_EQ(plainModel.model->calls, 14);
}

TEST(Diarization, PooledWindowsNearAChangeAreHeardAgainAsRows) {
    auto audio = voices({{1, 4}, {2, 4}});
    Pair p;
    auto fast = p.fast->changePoints(line(0, 16), audio, std::nullopt);
    auto exact = p.exact.service->changePoints(line(0, 16), audio, std::nullopt);
    ASSERT_EQ(fast.size(), exact.size());
    // Far from the threshold the blurred similarity stands; near it the rows' does.
    size_t kept = 0;
    for (size_t i = 0; i < fast.size(); ++i) {
        if (fast[i].sim != exact[i].sim) {
            ++kept;
            EXPECT_GE(fast[i].sim, SpeakerDiarizationService::changeThreshold +
                                       SpeakerDiarizationService::pooledMargin);
        }
    }
    EXPECT_GT(kept, 0u);
    EXPECT_EQ(SpeakerDiarizationService::changes(fast), std::vector<double>{4.0});
    EXPECT_EQ(SpeakerDiarizationService::changes(exact), std::vector<double>{4.0});
    EXPECT_GT(p.model->calls, 0);
    EXPECT_LT(p.model->calls, 14) << "only the windows around the change";

    // The same cut and speakers either way.
    auto labelled = p.fast->label({line(0, 16)}, audio, std::nullopt, true);
    EXPECT_EQ(labelled, p.exact.service->label({line(0, 16)}, audio, std::nullopt, true));
    EXPECT_EQ(speakers(labelled), (std::vector<std::optional<int>>{0, 1}));

    // A short answer from the pooled windows fails the window like any other.
    Log::Capture log;
    p.model->dropRange = true;
    labelled = p.fast->label({line(0, 16)}, audio, std::nullopt, true);
    ASSERT_EQ(labelled.size(), 1u);
    EXPECT_EQ(labelled[0].first, line(0, 16));
    EXPECT_EQ(labelled[0].second, std::nullopt);
    EXPECT_TRUE(
        log.contains("Diarization failed: The speaker model gave 13 embeddings for 14 clips."));
}

TEST(Diarization, ChangeWindowsAreRowsOfTheirOwnUnlessPoolingIsAskedFor) {
    // Two voices with a change in the middle: a model that can pool is still asked for rows,
    // one per window, and the service finds what rows find, however the pooled windows blur.
    auto audio = voices({{1, 4}, {2, 4}});
    auto blurring = std::make_unique<Blurring>();
    auto* model = blurring.get();
    SpeakerDiarizationService service(std::move(blurring));
    Fixture rows;
    rows.service->setExactChangeWindows(true);
    auto points = service.changePoints(line(0, 16), audio, std::nullopt);
    EXPECT_EQ(model->rangeCalls, 0);
    EXPECT_EQ(model->calls, 14) << "one row per window";
    EXPECT_EQ(points, rows.service->changePoints(line(0, 16), audio, std::nullopt));
    auto labelled = service.label({line(0, 16)}, audio, std::nullopt, true);
    EXPECT_EQ(model->rangeCalls, 0);
    EXPECT_EQ(speakers(labelled), (std::vector<std::optional<int>>{0, 1}));
}

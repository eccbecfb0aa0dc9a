#include "SpeakerFixtures.h"
#include "base/Error.h"
#include "base/FileDescriptor.h"
#include "fakes/TempDir.h"
#include "speakers/Fbank.h"
#include "speakers/OnnxModel.h"
#include "speakers/SpeakerClusterer.h"
#include "speakers/SpeakerEmbedder.h"
#include "transcription/ModelFiles.h"
#include "transcription/ModelHash.h"
#include "types/SpeakerModels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tallyvox;
using namespace tallyvox::testing;

namespace {

// The reference fixtures hold three rows (speech, silence, the first half second of the
// speech looped) embedded with equal weights, then the speech with fixture weights.
std::vector<std::vector<float>> referenceEmbeddings(std::size_t size) {
    auto flat = readRaw<float>(speakerFixture("embeddings.f32"));
    std::vector<std::vector<float>> rows;
    for (std::size_t i = 0; i + size <= flat.size(); i += size)
        rows.emplace_back(flat.begin() + static_cast<std::ptrdiff_t>(i),
                          flat.begin() + static_cast<std::ptrdiff_t>(i + size));
    return rows;
}

std::vector<float> loopedSpeech(const std::vector<float>& speech) {
    std::vector<float> loop;
    while (loop.size() < speech.size())
        loop.insert(loop.end(), speech.begin(), speech.begin() + 8000);
    return loop;
}

} // namespace

TEST(SpeakerFbank, MatchesKaldisAlgorithmOnSpeechAndIsZeroOnSilence) {
    Fbank fbank;
    auto speech = fixtureSpeech();
    ASSERT_EQ(speech.size(), SpeakerEmbedder::rowSamples);
    auto got = fbank.compute(speech);
    auto want = readRaw<float>(speakerFixture("speech_fbank.f32"));
    ASSERT_EQ(Fbank::frameCount(speech.size()), 998u);
    ASSERT_EQ(got.size(), want.size());
    double worst = 0;
    for (std::size_t i = 0; i < got.size(); ++i)
        worst = std::max(worst, std::abs(static_cast<double>(got[i]) - want[i]));
    EXPECT_LT(worst, 5e-4);
    EXPECT_LT(relativeError(got, want), 1e-5);

    // Every frame floored at the same energy: nothing is left after the mean comes off.
    auto silent = fbank.compute(std::vector<float>(SpeakerEmbedder::rowSamples, 0.0f));
    EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](float v) { return v == 0.0f; }));
    EXPECT_EQ(Fbank::frameCount(399), 0u);
    EXPECT_EQ(Fbank::frameCount(720), 3u);
}

// Normalised around each frame: a level that steps halfway through is taken off each half,
// where one mean over the clip leaves each half off by the step.
TEST(SpeakerFbank, LocalMeansFollowTheLevelAndTheWholeSpanIsTheClipsMean) {
    std::vector<float> clip(6 * 16000);
    std::uint32_t state = 7;
    for (std::size_t i = 0; i < clip.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        float noise = static_cast<float>(state >> 8) / 8388608.0f - 1.0f;
        clip[i] = (i < clip.size() / 2 ? 0.01f : 0.5f) * noise;
    }
    Fbank fbank;
    auto whole = fbank.compute(clip);
    EXPECT_EQ(fbank.computeLocal(clip, Fbank::frameCount(clip.size())), whole);
    EXPECT_EQ(fbank.computeLocal(clip, 100000), whole);
    auto local = fbank.computeLocal(clip, 150);
    const std::size_t frames = Fbank::frameCount(clip.size());
    ASSERT_EQ(local.size(), whole.size());
    // Far from the step (frame 300), each half is level: local values hover around zero.
    for (std::size_t t : {20u, 150u, 450u, 580u}) {
        double localMean = 0, wholeMean = 0;
        for (int b = 0; b < Fbank::bins; ++b) {
            localMean += local[t * Fbank::bins + static_cast<std::size_t>(b)] / Fbank::bins;
            wholeMean += whole[t * Fbank::bins + static_cast<std::size_t>(b)] / Fbank::bins;
        }
        EXPECT_LT(std::abs(localMean), 0.5) << "frame " << t;
        EXPECT_GT(std::abs(wholeMean), 3.0) << "frame " << t << " of " << frames;
    }
}

TEST(SpeakerEmbedder, NarrowNetworkMatchesPyTorch) {
    auto embedder = SpeakerEmbedder::loadUnpinned(speakerFixture("speaker_tiny.onnx"));
    ASSERT_EQ(embedder->embeddingSize(), 32);
    auto want = referenceEmbeddings(32);
    ASSERT_EQ(want.size(), 4u);

    // The network alone, on the reference filter banks.
    auto fbank = readRaw<float>(speakerFixture("speech_fbank.f32"));
    EXPECT_LT(relativeError(embedder->embedFeatures({fbank})[0], want[0]), 1e-4);

    // Audio to embedding, three rows in one call so they cross the batches.
    auto speech = fixtureSpeech();
    auto got =
        embedder->embed({speech, std::vector<float>(speech.size(), 0.0f), loopedSpeech(speech)});
    ASSERT_EQ(got.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_LT(relativeError(got[i], want[i]), 1e-4) << "row " << i;

    // Weighted pooling; weights that are all zero count every moment the same.
    auto weights = readRaw<float>(speakerFixture("speech_weights.f32"));
    ASSERT_EQ(weights.size(), SpeakerEmbedder::frameWeights);
    auto weighted =
        embedder->embed({speech, speech}, {weights, std::vector<float>(weights.size(), 0.0f)});
    EXPECT_LT(relativeError(weighted[0], want[3]), 1e-4);
    EXPECT_GT(relativeError(weighted[0], want[0]), 1e-2);
    EXPECT_LT(relativeError(weighted[1], want[0]), 1e-4);

    EXPECT_THROW(embedder->embed({speech, std::vector<float>(1000)}), std::invalid_argument);
}

TEST(SpeakerModels, PinnedFileInTheModelsFolderWithAReplaceableBase) {
    TempDir data;
    ScopedEnv xdg("XDG_DATA_HOME", data.path().string());
    ScopedEnv base("TALLYVOX_SPEAKER_BASE_URL", std::nullopt);
    EXPECT_EQ(SpeakerModels::localPath(),
              data.path() / "Tallyvox" / "Models" / "Speakers" / "voxceleb_resnet34_LM.onnx");
    EXPECT_EQ(SpeakerModels::remoteURL(),
              "https://huggingface.co/Wespeaker/wespeaker-voxceleb-resnet34-LM/resolve/"
              "f0c48c298fd835726c27956a5d617bad7115627e/voxceleb_resnet34_LM.onnx");
    {
        ScopedEnv mirror("TALLYVOX_SPEAKER_BASE_URL", "http://127.0.0.1:8080/models");
        EXPECT_EQ(SpeakerModels::remoteURL(),
                  "http://127.0.0.1:8080/models/voxceleb_resnet34_LM.onnx");
    }

    EXPECT_FALSE(SpeakerModels::isDownloaded());
    std::filesystem::create_directories(SpeakerModels::directory());
    std::ofstream(SpeakerModels::localPath()).put('x');
    std::filesystem::resize_file(SpeakerModels::localPath(), SpeakerModels::bytes - 1);
    EXPECT_FALSE(SpeakerModels::isDownloaded());
    std::filesystem::resize_file(SpeakerModels::localPath(), SpeakerModels::bytes);
    EXPECT_TRUE(SpeakerModels::isDownloaded());

    // The right size with the wrong content, and the narrow test network: both refused
    // before anything is parsed, in words a log can carry.
    try {
        SpeakerEmbedder::load(SpeakerModels::localPath());
        ADD_FAILURE() << "accepted";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("does not have the expected digest"),
                  std::string::npos);
    }
    // Set aside, so that the model counts as missing and is downloaded again.
    EXPECT_FALSE(std::filesystem::exists(SpeakerModels::localPath()));
    EXPECT_EQ(std::filesystem::file_size(ModelFiles::setAsidePath(SpeakerModels::localPath())),
              static_cast<std::uintmax_t>(SpeakerModels::bytes));
    EXPECT_FALSE(SpeakerModels::isDownloaded());
    try {
        SpeakerEmbedder::load(speakerFixture("speaker_tiny.onnx"));
        ADD_FAILURE() << "accepted";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("expected 26530309"), std::string::npos);
    }
}

// A model the user names is read only if it can be one: a huge file or a FIFO at its name is
// refused at once, not read whole or waited on.
TEST(SpeakerEmbedder, AModelFileIsReadWithinABound) {
    TempDir dir;
    const auto huge = dir / "huge.onnx";
    std::ofstream(huge).put('x');
    std::filesystem::resize_file(huge, 20ull << 30);
    const auto fifo = dir / "fifo.onnx";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& [file, reason] :
         {std::pair{huge, "is larger than 256 MB"}, std::pair{fifo, "is not a regular file"}}) {
        try {
            SpeakerEmbedder::loadUnpinned(file);
            ADD_FAILURE() << file << " accepted";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
        }
    }
}

namespace {

// How many times `file` is opened while `action` runs.
template <typename Action> int opensDuring(const std::filesystem::path& file, Action action) {
    FileDescriptor watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    EXPECT_GE(watch.get(), 0);
    // Closes are watched too: the kernel merges an event into an identical one still unread,
    // so two opens in a row would read as one.
    EXPECT_GE(::inotify_add_watch(watch.get(), file.c_str(), IN_OPEN | IN_CLOSE_NOWRITE), 0);
    action();
    int opens = 0;
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = ::read(watch.get(), buffer, sizeof buffer)) > 0)
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            opens += (event->mask & IN_OPEN) != 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    return opens;
}

} // namespace

// The pinned file is read once, within its size: the bytes whose digest is checked are the
// bytes parsed, and a file far larger than the pin, or a FIFO, is refused without a read.
TEST(SpeakerEmbedder, APinnedModelIsReadOnceAndTheBytesCheckedAreTheBytesParsed) {
    TempDir dir;
    const auto file = dir / "speaker.onnx";
    std::filesystem::copy_file(speakerFixture("speaker_tiny.onnx"), file);
    const auto digest = ModelHash::sha256(file);
    ASSERT_TRUE(digest);
    const SpeakerEmbedder::Pin pin{std::filesystem::file_size(file), *digest};

    std::unique_ptr<SpeakerEmbedder> embedder;
    EXPECT_EQ(opensDuring(file, [&] { embedder = SpeakerEmbedder::load(file, pin); }), 1);
    ASSERT_TRUE(embedder);
    EXPECT_EQ(embedder->embeddingSize(), 32);
    EXPECT_TRUE(std::filesystem::exists(file)) << "a sound file stays";

    const auto huge = dir / "huge.onnx";
    std::ofstream(huge).put('x');
    std::filesystem::resize_file(huge, 20ull << 30);
    const auto fifo = dir / "fifo.onnx";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& [path, reason] : {std::pair{huge, "has 21474836480 bytes, expected 26530309"},
                                       std::pair{fifo, "is not a regular file"}}) {
        try {
            SpeakerEmbedder::load(path);
            ADD_FAILURE() << path << " accepted";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
        }
        EXPECT_TRUE(std::filesystem::exists(path)) << "refused for its size or kind, kept";
    }
}

// NaN or infinite weights give embeddings that match every voice: the model failing.
TEST(SpeakerEmbedder, AnEmbeddingThatIsNotFiniteIsAFailure) {
    const auto bytes = readRaw<std::uint8_t>(speakerFixture("speaker_tiny.onnx"));
    const auto speech = fixtureSpeech();
    for (float bad :
         {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        auto weights = SpeakerWeights::from(onnx::parse(bytes));
        weights.linearBias[3] = bad;
        SpeakerEmbedder embedder(std::move(weights), 1);
        try {
            embedder.embed({speech});
            ADD_FAILURE() << bad << " accepted";
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), "The speaker model gave an embedding that is not a finite "
                                   "number.");
        }
        EXPECT_THROW(embedder.embedRanges(speech, {{0, 48000}, {16000, 64000}}), Error);
    }
}

// The full width of the published network with random weights, checked against PyTorch
// where `tools/make_speaker_fixture.py --full FILE` has been run and $TALLYVOX_SPEAKER_FULL
// names FILE (the file is 26 MB, so it is not kept with the fixtures).
TEST(SpeakerEmbedder, FullWidthNetworkMatchesPyTorchWhenGenerated) {
    const char* file = std::getenv("TALLYVOX_SPEAKER_FULL");
    if (!file)
        GTEST_SKIP() << "TALLYVOX_SPEAKER_FULL is not set";
    auto embedder = SpeakerEmbedder::loadUnpinned(file);
    EXPECT_EQ(embedder->width(), 32);
    auto want = readRaw<float>(std::string(file) + ".reference.f32");
    auto got = embedder->embed({fixtureSpeech()});
    EXPECT_LT(relativeError(got[0], want), 1e-4);
}

// Runs only where the published model is present: $TALLYVOX_SPEAKER_MODEL or the models folder.
TEST(SpeakerEmbedder, PublishedModelLoadsAndKeepsOneVoiceClose) {
    const char* given = std::getenv("TALLYVOX_SPEAKER_MODEL");
    std::filesystem::path file = given ? given : SpeakerModels::localPath();
    if (!SpeakerModels::isDownloaded(file))
        GTEST_SKIP() << "no published speaker model at " << file;
    auto embedder = SpeakerEmbedder::load(file);
    EXPECT_EQ(embedder->embeddingSize(), 256);
    EXPECT_EQ(embedder->width(), 32);
    auto speech = fixtureSpeech();
    auto got = embedder->embed({speech, loopedSpeech(speech)});
    auto cosine = [](const std::vector<float>& a, const std::vector<float>& b) {
        double ab = 0, aa = 0, bb = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            ab += a[i] * static_cast<double>(b[i]);
            aa += a[i] * static_cast<double>(a[i]);
            bb += b[i] * static_cast<double>(b[i]);
        }
        return ab / std::sqrt(aa * bb);
    };
    // The same voice, whole and as a looped fragment, stays close.
    EXPECT_GT(cosine(got[0], got[1]), 0.5);
}

// Ranges of one clip are pooled from one pass of the network over it. Where a range's
// neighbourhood repeats it, as its looped row does, the two agree; how far they part in
// ordinary speech is measured in bench/README.md (speaker_meeting_bench).
TEST(SpeakerEmbedder, RangesOfOneClipComeFromOnePassAndMatchTheirRowsAmidTheSameSound) {
    auto embedder = SpeakerEmbedder::loadUnpinned(speakerFixture("speaker_tiny.onnx"));
    // 1.5 s of speech three times, then 1.5 s of a tone three times.
    auto speech = fixtureSpeech();
    const std::size_t part = 24000;
    std::vector<float> tone(part);
    for (std::size_t i = 0; i < part; ++i)
        tone[i] = 0.3f *
                  static_cast<float>(std::sin(2 * M_PI * 440.0 * static_cast<double>(i) / 16000.0));
    std::vector<float> clip;
    for (int k = 0; k < 3; ++k)
        clip.insert(clip.end(), speech.begin(), speech.begin() + part);
    for (int k = 0; k < 3; ++k)
        clip.insert(clip.end(), tone.begin(), tone.end());
    // The middle repeat of each.
    std::vector<Embedder::Range> ranges{{part, 2 * part}, {4 * part, 5 * part}};
    auto fast = embedder->embedRanges(clip, ranges);
    auto rows =
        embedder->embed({Embedder::looped(std::span(speech).first(part)), Embedder::looped(tone)});
    ASSERT_EQ(fast.size(), 2u);
    // The row's own ends (where the network pads with zeros) make up most of what is left.
    for (std::size_t i = 0; i < 2; ++i) {
        const double own = relativeError(fast[i], rows[i]);
        EXPECT_LT(own, 0.15) << "range " << i;
        EXPECT_GT(relativeError(fast[i], rows[1 - i]), 2 * own) << "range " << i;
    }

    // Too short for the network to pool from: each range gets its own row instead.
    std::vector<float> blip(speech.begin(), speech.begin() + 3000);
    std::vector<Embedder::Range> parts{{1000, 2000}};
    EXPECT_EQ(embedder->embedRanges(blip, parts), Embedder::exactRanges(*embedder, blip, parts));
    EXPECT_TRUE(embedder->embedRanges(clip, {}).empty());
    EXPECT_THROW(embedder->embedRanges(clip, {{0, clip.size() + 1}}), std::invalid_argument);
}

// Runs only where the published model is present ($TALLYVOX_SPEAKER_MODEL or the models
// folder) and espeak-ng and sox are installed.
TEST(SpeakerEmbedder, PublishedModelTellsTwoSyntheticVoicesApart) {
    const char* given = std::getenv("TALLYVOX_SPEAKER_MODEL");
    std::filesystem::path file = given ? given : SpeakerModels::localPath();
    if (!SpeakerModels::isDownloaded(file))
        GTEST_SKIP() << "no published speaker model at " << file;
    const std::string text = "the budget for next quarter is on the table today";
    auto first = espeak("en-us+m3", text);
    auto again = espeak("en-us+m3", "everyone shares their notes before the release date and "
                                    "then we talk about hiring two more people");
    auto other = espeak("en+f3", text);
    if (first.empty() || again.empty() || other.empty())
        GTEST_SKIP() << "espeak-ng or sox is missing";
    auto embedder = SpeakerEmbedder::load(file);
    auto rows = embedder->embed(
        {Embedder::looped(first), Embedder::looped(again), Embedder::looped(other)});
    ASSERT_EQ(rows.size(), 3u);
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 256u);
        auto unit = SpeakerClusterer::normalized(row);
        EXPECT_NEAR(SpeakerClusterer::dot(unit, unit), 1.0, 1e-5);
    }
    // Other words in the same voice are nearer than the same words in another voice.
    EXPECT_GT(cosine(rows[0], rows[1]), cosine(rows[0], rows[2]));
    EXPECT_GT(cosine(rows[0], rows[1]), cosine(rows[1], rows[2]));

    // One line of both voices, 1.5 s windows pooled from one pass: the window at the start of
    // the first voice is nearer the first voice's last window than the second voice's first.
    std::vector<float> line = again;
    line.insert(line.end(), other.begin(), other.end());
    const std::size_t turn = again.size(), window = 24000;
    ASSERT_GE(turn, 2 * window);
    auto windows =
        embedder->embedRanges(line, {{0, window}, {turn - window, turn}, {turn, turn + window}});
    EXPECT_GT(cosine(windows[0], windows[1]), cosine(windows[0], windows[2]));
}

TEST(SpeakerEmbedder, CentredNetworkIsTheNarrowOneLessOneBiasAndSpreadsSimilarities) {
    auto one = espeak("en-us+m3", "the budget for next quarter is on the table today");
    auto other = espeak("en+f3", "everyone shares their notes before the release date");
    if (one.empty() || other.empty())
        GTEST_SKIP() << "espeak-ng or sox is missing";
    std::vector<std::vector<float>> rows;
    for (const auto* voice : {&one, &other})
        for (std::size_t from = 0; from + 24000 <= voice->size() && rows.size() < 8; from += 8000)
            rows.push_back(Embedder::looped(std::span(*voice).subspan(from, 24000)));
    ASSERT_GE(rows.size(), 4u);
    auto plain = SpeakerEmbedder::loadUnpinned(speakerFixture("speaker_tiny.onnx"))->embed(rows);
    auto centred =
        SpeakerEmbedder::loadUnpinned(speakerFixture("speaker_centred.onnx"))->embed(rows);
    // Only the output bias differs, so every row moves by the same vector.
    for (std::size_t r = 1; r < rows.size(); ++r)
        for (std::size_t k = 0; k < plain[r].size(); ++k)
            EXPECT_NEAR(plain[r][k] - centred[r][k], plain[0][k] - centred[0][k], 1e-3)
                << "row " << r << ", value " << k;
    // The plain network finds every window alike; the centred one spreads them across the
    // change threshold, which is what makes it worth comparing change windows on.
    double plainLowest = 1, lowest = 1, highest = -1;
    for (std::size_t a = 0; a < rows.size(); ++a)
        for (std::size_t b = a + 1; b < rows.size(); ++b) {
            plainLowest = std::min(plainLowest, cosine(plain[a], plain[b]));
            lowest = std::min(lowest, cosine(centred[a], centred[b]));
            highest = std::max(highest, cosine(centred[a], centred[b]));
        }
    EXPECT_GT(plainLowest, 0.9);
    EXPECT_LT(lowest, 0.0);
    EXPECT_GT(highest, 0.65);
}

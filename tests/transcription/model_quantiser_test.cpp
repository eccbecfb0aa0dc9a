#include "base/Error.h"
#include "base/Log.h"
#include "fakes/TempDir.h"
#include "fakes/TestAudio.h"
#include "transcription/ModelHash.h"
#include "transcription/ModelQuantiser.h"
#include "transcription/WhisperContext.h"
#include "types/ModelSpeed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace tallyvox {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::TempDir;
using Variant = WhisperModel::Variant;

const fs::path shared(TALLYVOX_SHARED_DIR);
// Seeded random weights of the tiny architecture, made by the build.
const fs::path randomTiny(TALLYVOX_TEST_MODEL);

std::string bytesOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write(const fs::path& file, std::string_view bytes) {
    std::ofstream(file, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

std::vector<std::string> wordsOf(const fs::path& model) {
    WhisperContext context(WhisperModel::tiny, model, "/nonexistent");
    // Left to itself the random model stops after four words; enough to compare are written.
    context.forceDecodedTokens(40);
    std::vector<std::string> words;
    auto audio = testing::readPcm16Wav(shared / "audio" / "jfk.wav");
    for (const auto& segment : context.transcribe(audio, "en", "")) {
        std::istringstream text(segment.text);
        for (std::string word; text >> word;)
            words.push_back(word);
    }
    return words;
}

// Words of `a` not matched in order in `b` and the other way round (a longest common
// subsequence's complement).
size_t wordDifferences(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::vector<std::vector<size_t>> common(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j)
            common[i][j] = a[i - 1] == b[j - 1] ? common[i - 1][j - 1] + 1
                                                : std::max(common[i - 1][j], common[i][j - 1]);
    return a.size() + b.size() - 2 * common[a.size()][b.size()];
}

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ModelQuantiser, CopiesAreSmallerAndWhisperCppRecognisesTheSameWordsWithThem) {
    TempDir dir;
    const auto original = wordsOf(randomTiny);
    ASSERT_GE(original.size(), 20u);
    const auto sourceSize = fs::file_size(randomTiny);
    std::uintmax_t q8Size = 0;
    for (auto variant : {Variant::q8_0, Variant::q5_1}) {
        const auto copy = dir / (std::string(WhisperModel::variantName(variant)) + ".bin");
        auto made =
            ModelQuantiser::quantise(randomTiny, copy, variant, *ModelHash::sha256(randomTiny));
        EXPECT_EQ(made.sourceSha256, ModelHash::sha256(randomTiny));
        EXPECT_EQ(made.copySha256, ModelHash::sha256(copy));
        EXPECT_EQ(made.bytes, std::int64_t(fs::file_size(copy)));
        // Quantised matrices take 8.5 (q8_0) and 6 (q5_1) bits a weight instead of 16.
        EXPECT_LT(fs::file_size(copy), sourceSize * 6 / 10);
        if (variant == Variant::q8_0)
            q8Size = fs::file_size(copy);
        else
            EXPECT_LT(fs::file_size(copy), q8Size);
        // Random weights amplify rounding far more than trained ones, and each changed token
        // sends the decoder elsewhere: of about 30 words, q8_0 keeps 28 in order and q5_1 21,
        // where misplaced weights would keep next to none.
        auto words = wordsOf(copy);
        const size_t kept = (original.size() + words.size() - wordDifferences(original, words)) / 2;
        EXPECT_GE(kept * 4, original.size() * (variant == Variant::q8_0 ? 3 : 2))
            << WhisperModel::variantName(variant) << " kept " << kept << " of " << original.size();
    }
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"q5_1.bin", "q8_0.bin"}))
        << "no temporary file is left beside the copies";
}

TEST(ModelQuantiser, ABrokenOrLyingModelFileIsRefusedAndNothingIsWritten) {
    TempDir dir;
    const std::string model = bytesOf(randomTiny);
    const auto target = dir / "copy.bin";
    write(target, "an older copy");
    auto refused = [&](std::string_view bytes, const std::string& why,
                       std::string_view digest = {}) {
        write(dir / "source.bin", bytes);
        try {
            ModelQuantiser::quantise(dir / "source.bin", target, Variant::q5_1, digest);
            ADD_FAILURE() << why << " was quantised";
        } catch (const Error& error) {
            EXPECT_NE(std::string(error.what()).find("source.bin"), std::string::npos) << why;
        }
        EXPECT_EQ(bytesOf(target), "an older copy") << why;
        EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"copy.bin", "source.bin"})) << why;
    };
    // Header 48 bytes, filters 8 + 80 * 201 * 4, then the vocabulary and the tensors.
    for (size_t length :
         {size_t(0), size_t(30), size_t(1000), size_t(100000), model.size() / 2, model.size() - 1})
        refused(model.substr(0, length), "cut at " + std::to_string(length));
    std::string badMagic = model;
    badMagic[0] = 'x';
    refused(badMagic, "another magic");

    auto with = [&](size_t offset, std::int32_t value) {
        std::string bytes = model;
        std::memcpy(bytes.data() + offset, &value, 4);
        return bytes;
    };
    refused(with(48, 1 << 30), "mel filters larger than the file");
    const size_t vocabulary = 48 + 8 + 80 * 201 * 4;
    refused(with(vocabulary, 0x7fffffff), "a vocabulary larger than the file");
    refused(with(vocabulary + 4, -1), "a token longer than the file");
    // The first tensor, encoder.positional_embedding [384, 1500] of 32-bit floats.
    size_t tensor = vocabulary + 4;
    std::int32_t tokens = 0;
    std::memcpy(&tokens, model.data() + vocabulary, 4);
    for (std::int32_t i = 0; i < tokens; ++i) {
        std::uint32_t length = 0;
        std::memcpy(&length, model.data() + tensor, 4);
        tensor += 4 + length;
    }
    refused(with(tensor + 12, 0x7fffffff), "a tensor larger than the file");
    refused(with(tensor + 16, 0x10000), "a second dimension larger than the file");
    refused(with(tensor, 9), "nine dimensions");
    refused(with(tensor + 4, 1 << 30), "a name longer than the file");
    refused(with(tensor + 8, 8), "a tensor already quantised");
    refused(model, "a file without the digest it was downloaded with", std::string(64, '0'));

    ModelQuantiser::quantise(randomTiny, dir / "q5_1.bin", Variant::q5_1);
    fs::remove(target);
    write(dir / "source.bin", bytesOf(dir / "q5_1.bin"));
    fs::remove(dir / "q5_1.bin");
    EXPECT_THROW(ModelQuantiser::quantise(dir / "source.bin", target, Variant::q8_0), Error)
        << "a quantised model is not quantised again";
    EXPECT_FALSE(fs::exists(target));
}

TEST(ModelQuantiser, ACopyIsLoadedOnlyWithItsRecordedDigestAndOtherwiseTheOriginalIs) {
    TempDir data;
    ScopedEnv xdgData("XDG_DATA_HOME", data.path().string());
    const WhisperModel small(WhisperModel::small, Variant::q5_1);
    fs::create_directories(small.copyPath().parent_path());
    Log::Capture log;
    EXPECT_EQ(ModelQuantiser::fileToLoad(small), small.localPath());
    EXPECT_TRUE(
        log.contains("The q5_1 copy of the Whisper Small model is missing; loading the original"));

    write(small.copyPath(), "quantised weights");
    const std::string digest = *ModelHash::sha256(small.copyPath());
    write(small.copyRecordPath(),
          ModelQuantiser::recordText({Variant::q5_1, std::string(small.sha256()), digest}));
    log.clear();
    EXPECT_EQ(ModelQuantiser::fileToLoad(small), small.copyPath());
    EXPECT_TRUE(log.texts().empty());

    write(small.copyPath(), "quantised weightz");
    EXPECT_EQ(ModelQuantiser::fileToLoad(small), small.localPath());
    EXPECT_TRUE(log.contains("The q5_1 copy of the Whisper Small model does not have the digest "
                             "it was made with; loading the original"));

    // A copy of another download, or recorded for the other variant, is not this one.
    write(small.copyPath(), "quantised weights");
    write(small.copyRecordPath(),
          ModelQuantiser::recordText({Variant::q5_1, std::string(64, 'a'), digest}));
    EXPECT_EQ(ModelQuantiser::fileToLoad(small), small.localPath());
    write(small.copyRecordPath(),
          ModelQuantiser::recordText({Variant::q8_0, std::string(small.sha256()), digest}));
    EXPECT_EQ(ModelQuantiser::fileToLoad(small), small.localPath());
    EXPECT_EQ(ModelQuantiser::fileToLoad(small.original()), small.localPath());
}

TEST(WhisperModelVariants, NamesOfVariantsAreKnownBesideTheOriginalsAndKeepTheirDownload) {
    EXPECT_EQ(WhisperModel::fromRaw("small"), WhisperModel(WhisperModel::small));
    auto variant = WhisperModel::fromRaw("small-q5_1");
    ASSERT_TRUE(variant);
    EXPECT_EQ(*variant, WhisperModel(WhisperModel::small, Variant::q5_1));
    EXPECT_EQ(variant->title(), "Small (q5_1)");
    EXPECT_EQ(variant->fileName(), "ggml-small.bin") << "what is downloaded for it";
    EXPECT_EQ(variant->copyPath().filename(), "ggml-small-q5_1.bin");
    EXPECT_EQ(WhisperModel::fromRaw("base-q8_0")->rawValue(), "base-q8_0");
    EXPECT_FALSE(WhisperModel::fromRaw("large-v3-turbo-q5_0-q5_1"));
    EXPECT_TRUE(WhisperModel(WhisperModel::turbo).variants().empty());
    EXPECT_EQ(WhisperModel::all().size(), 5u);
    // A copy chosen as the ceiling caps the choice at its own model, not at the last one.
    EXPECT_EQ(
        ModelSpeed::mostAccurateKeepingUp(*variant, MachineSpeed{100, 2, "cpu"}, 1, 1e9, false),
        WhisperModel::small);
}

} // namespace
} // namespace tallyvox

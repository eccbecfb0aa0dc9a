#include "types/WhisperModel.h"

#include "base/XdgPaths.h"

#include <array>
#include <cstdlib>
#include <system_error>

namespace tallyvox {

namespace {

struct Row {
    std::string_view raw;
    std::string_view title;
    std::string_view sizeLabel;
    std::int64_t minimumBytes;
    std::string_view sha256;
};

constexpr std::array<Row, 5> rows{{
    {"tiny", "Tiny", "75 MB", 70000000,
     "be07e048e1e599ad46341c8d2a135645097a538221678b7acdd1b1919c6e1b21"},
    {"base", "Base", "142 MB", 130000000,
     "60ed5bc3dd14eea856493d334349b405782ddcaf0028d4b5df4088345fba2efe"},
    {"small", "Small", "466 MB", 450000000,
     "1be3a9b2063867b937e64e2ec7483364a79917e157fa98c5d94b5c1fffea987b"},
    {"medium", "Medium", "1.5 GB", 1400000000,
     "6c14d5adee5f86394037b4e4e8b59f1673b6cee10e3cf0b11bbdbee79c156208"},
    {"large-v3-turbo-q5_0", "Large v3 Turbo", "574 MB", 550000000,
     "394221709cd5ad1f40c46e6031ca61bce88931e6e088c188294c6d5a55ffa7e2"},
}};

// Pinned revisions of the two model repositories.
constexpr std::string_view whisperBase = "https://huggingface.co/ggerganov/whisper.cpp/resolve/"
                                         "5359861c739e955e79d9a303bcbc70fb988958b1/";
constexpr std::string_view vadBase = "https://huggingface.co/ggml-org/whisper-vad/resolve/"
                                     "9ffd54a1e1ee413ddf265af9913beaf518d1639b/";

// Tests and mirrors point the downloads elsewhere through the environment, read at each use.
std::string downloadBase(const char* variable, std::string_view fallback) {
    const char* value = std::getenv(variable);
    if (!value || !*value)
        return std::string(fallback);
    std::string text = value;
    if (text.back() != '/')
        text += '/';
    return text;
}

const Row& row(WhisperModel::Kind kind) {
    return rows[static_cast<size_t>(kind)];
}

// Names and titles of the variants, by kind then variant; Large v3 Turbo has none.
struct VariantNames {
    std::string_view raw;
    std::string_view title;
};
constexpr std::array<std::array<VariantNames, 2>, 4> variantNames{{
    {{{"tiny-q8_0", "Tiny (q8_0)"}, {"tiny-q5_1", "Tiny (q5_1)"}}},
    {{{"base-q8_0", "Base (q8_0)"}, {"base-q5_1", "Base (q5_1)"}}},
    {{{"small-q8_0", "Small (q8_0)"}, {"small-q5_1", "Small (q5_1)"}}},
    {{{"medium-q8_0", "Medium (q8_0)"}, {"medium-q5_1", "Medium (q5_1)"}}},
}};

bool hasVariants(WhisperModel::Kind kind) {
    return static_cast<size_t>(kind) < variantNames.size();
}

const VariantNames& names(WhisperModel::Kind kind, WhisperModel::Variant variant) {
    return variantNames[static_cast<size_t>(kind)][static_cast<size_t>(variant) - 1];
}

} // namespace

const std::vector<WhisperModel>& WhisperModel::all() {
    static const std::vector<WhisperModel> models{tiny, base, small, medium, turbo};
    return models;
}

std::optional<WhisperModel> WhisperModel::fromRaw(std::string_view raw) {
    for (auto model : all()) {
        if (model.rawValue() == raw)
            return model;
        for (auto variant : model.variants())
            if (variant.rawValue() == raw)
                return variant;
    }
    return std::nullopt;
}

std::vector<WhisperModel> WhisperModel::variants() const {
    if (!hasVariants(kind_))
        return {};
    return {WhisperModel(kind_, Variant::q8_0), WhisperModel(kind_, Variant::q5_1)};
}

std::string_view WhisperModel::variantName(Variant variant) {
    switch (variant) {
    case Variant::q8_0:
        return "q8_0";
    case Variant::q5_1:
        return "q5_1";
    case Variant::original:
        break;
    }
    return {};
}

std::optional<WhisperModel::Variant> WhisperModel::variantFromName(std::string_view name) {
    for (auto variant : {Variant::q8_0, Variant::q5_1})
        if (variantName(variant) == name)
            return variant;
    return std::nullopt;
}

std::string_view WhisperModel::rawValue() const {
    return isVariant() && hasVariants(kind_) ? names(kind_, variant_).raw : row(kind_).raw;
}
std::string_view WhisperModel::title() const {
    return isVariant() && hasVariants(kind_) ? names(kind_, variant_).title : row(kind_).title;
}
std::string WhisperModel::fileName() const {
    return "ggml-" + std::string(row(kind_).raw) + ".bin";
}
std::string_view WhisperModel::sizeLabel() const {
    return row(kind_).sizeLabel;
}
std::int64_t WhisperModel::minimumBytes() const {
    return row(kind_).minimumBytes;
}
std::string_view WhisperModel::sha256() const {
    return row(kind_).sha256;
}

std::filesystem::path WhisperModel::directory() {
    return XdgPaths::dataHome() / "Tallyvox" / "Models";
}

std::string WhisperModel::remoteURL() const {
    return downloadBase("TALLYVOX_MODEL_BASE_URL", whisperBase) + fileName();
}

bool WhisperModel::isDownloaded(const std::filesystem::path& file) const {
    return fileSizeOrZero(file) >= minimumBytes();
}

std::filesystem::path WhisperModel::copyPath() const {
    return directory() / ("ggml-" + std::string(rawValue()) + ".bin");
}

std::filesystem::path WhisperModel::copyRecordPath() const {
    auto path = copyPath();
    path += ".sha256";
    return path;
}

std::int64_t fileSizeOrZero(const std::filesystem::path& file) {
    std::error_code error;
    auto size = std::filesystem::file_size(file, error);
    return error ? 0 : static_cast<std::int64_t>(size);
}

namespace VADModel {
std::filesystem::path localPath() {
    return WhisperModel::directory() / fileName;
}
std::string remoteURL() {
    return downloadBase("TALLYVOX_VAD_BASE_URL", vadBase) + std::string(fileName);
}
bool isDownloaded() {
    return isDownloaded(localPath());
}
bool isDownloaded(const std::filesystem::path& file) {
    return fileSizeOrZero(file) >= minimumBytes;
}
} // namespace VADModel

} // namespace tallyvox

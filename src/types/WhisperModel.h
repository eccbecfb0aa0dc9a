#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvox {

// The recogniser models users can choose, with their pinned files.
//
// A model may also be a quantised variant ("small-q5_1"): a copy of the downloaded file made
// on this computer, smaller and faster. The pinned file facts below (fileName, sha256, size,
// address) stay those of the downloaded original: it is what the copy is made from, what is
// downloaded for it, and what is loaded when the copy cannot be.
class WhisperModel {
public:
    enum Kind { tiny, base, small, medium, turbo };
    enum class Variant { original, q8_0, q5_1 };

    constexpr WhisperModel(Kind kind = small, Variant variant = Variant::original)
        : kind_(kind)
        , variant_(variant) {}
    // The originals only.
    static const std::vector<WhisperModel>& all();
    // An original's name, or a variant's ("small-q5_1").
    static std::optional<WhisperModel> fromRaw(std::string_view raw);

    Kind kind() const { return kind_; }
    Variant variant() const { return variant_; }
    bool isVariant() const { return variant_ != Variant::original; }
    WhisperModel original() const { return WhisperModel(kind_); }
    // The variants that can be made of this model: none of a file published already quantised.
    std::vector<WhisperModel> variants() const;
    static std::string_view variantName(Variant variant); // "q8_0", "q5_1"; empty for original
    static std::optional<Variant> variantFromName(std::string_view name);

    std::string_view rawValue() const; // also the identifier
    std::string_view title() const;
    std::string fileName() const;
    std::string_view sizeLabel() const;
    std::int64_t minimumBytes() const;
    std::string_view sha256() const;

    // $XDG_DATA_HOME/Tallyvox/Models, read afresh each time.
    static std::filesystem::path directory();
    std::filesystem::path localPath() const { return directory() / fileName(); }
    // The pinned download address; $TALLYVOX_MODEL_BASE_URL replaces its base when set.
    std::string remoteURL() const;
    // Present when the file is at least minimumBytes() large.
    bool isDownloaded() const { return isDownloaded(localPath()); }
    bool isDownloaded(const std::filesystem::path& file) const;

    // A variant's copy beside the original, and the record of the digests it was made with.
    std::filesystem::path copyPath() const;
    std::filesystem::path copyRecordPath() const;

    bool operator==(const WhisperModel&) const = default;

private:
    Kind kind_;
    Variant variant_;
};

namespace VADModel {
inline constexpr std::string_view fileName = "ggml-silero-v6.2.0.bin";
inline constexpr std::string_view sha256 =
    "2aa269b785eeb53a82983a20501ddf7c1d9c48e33ab63a41391ac6c9f7fb6987";
inline constexpr std::int64_t minimumBytes = 800000;
inline constexpr std::string_view sizeLabel = "2 MB";
std::filesystem::path localPath();
std::string remoteURL(); // base replaceable through $TALLYVOX_VAD_BASE_URL
bool isDownloaded();
bool isDownloaded(const std::filesystem::path& file);
} // namespace VADModel

// Size of a file in bytes; 0 when it is missing or unreadable.
std::int64_t fileSizeOrZero(const std::filesystem::path& file);

} // namespace tallyvox

#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvox {

// The recogniser models users can choose, with their pinned files.
class WhisperModel {
public:
    enum Kind { tiny, base, small, medium, turbo };

    constexpr WhisperModel(Kind kind = small)
        : kind_(kind) {}
    static const std::vector<WhisperModel>& all();
    static std::optional<WhisperModel> fromRaw(std::string_view raw);

    Kind kind() const { return kind_; }
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

    bool operator==(const WhisperModel&) const = default;

private:
    Kind kind_;
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

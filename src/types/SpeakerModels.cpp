#include "types/SpeakerModels.h"

#include "types/WhisperModel.h"

#include <cstdlib>

namespace tallyvox::SpeakerModels {
namespace {
constexpr std::string_view base = "https://huggingface.co/Wespeaker/wespeaker-voxceleb-resnet34-LM/"
                                  "resolve/f0c48c298fd835726c27956a5d617bad7115627e/";
} // namespace

std::filesystem::path directory() {
    return WhisperModel::directory() / "Speakers";
}

std::filesystem::path localPath() {
    return directory() / fileName;
}

std::string remoteURL() {
    // Tests and mirrors point the download elsewhere, read at each use.
    const char* value = std::getenv("TALLYVOX_SPEAKER_BASE_URL");
    std::string prefix = value && *value ? value : std::string(base);
    if (prefix.back() != '/')
        prefix += '/';
    return prefix + std::string(fileName);
}

bool isDownloaded() {
    return isDownloaded(localPath());
}

bool isDownloaded(const std::filesystem::path& file) {
    return fileSizeOrZero(file) == bytes;
}

} // namespace tallyvox::SpeakerModels

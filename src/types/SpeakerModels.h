#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tallyvox::SpeakerModels {

// The speaker-embedding network: WeSpeaker's ResNet34 trained on VoxCeleb, as published in
// ONNX form, pinned by revision, size and digest.
inline constexpr std::string_view fileName = "voxceleb_resnet34_LM.onnx";
inline constexpr std::int64_t bytes = 26530309;
inline constexpr std::string_view sizeLabel = "27 MB";
inline constexpr std::string_view sha256 =
    "7bb2f06e9df17cdf1ef14ee8a15ab08ed28e8d0ef5054ee135741560df2ec068";

// WhisperModel::directory() / "Speakers", read afresh each time.
std::filesystem::path directory();
std::filesystem::path localPath();
// The pinned download address; $TALLYVOX_SPEAKER_BASE_URL replaces its base when set.
std::string remoteURL();
// Present with exactly the pinned size (the digest is checked when it is loaded).
bool isDownloaded();
bool isDownloaded(const std::filesystem::path& file);

} // namespace tallyvox::SpeakerModels

#pragma once

#include <filesystem>
#include <vector>

namespace tallyvox::AudioFile {

// The whole file (WAV, FLAC, Ogg and whatever else libsndfile reads) as 16 kHz mono float.
// Throws Error with a description for the user when it cannot be read.
std::vector<float> read16kMono(const std::filesystem::path& file);

} // namespace tallyvox::AudioFile

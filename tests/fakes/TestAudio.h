#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tallyvox::testing {

// The samples of a 16-bit PCM WAV file's "data" chunk as floats (the shared test recording
// is 16 kHz mono, so no conversion is needed); empty when the file cannot be read.
inline std::vector<float> readPcm16Wav(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t at = bytes.find("data");
    if (at == std::string::npos || at + 8 > bytes.size())
        return {};
    std::uint32_t length = 0;
    std::memcpy(&length, bytes.data() + at + 4, 4);
    length = static_cast<std::uint32_t>(std::min<size_t>(length, bytes.size() - at - 8));
    std::vector<float> samples(length / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        std::int16_t value;
        std::memcpy(&value, bytes.data() + at + 8 + 2 * i, 2);
        samples[i] = static_cast<float>(value) / 32768.0f;
    }
    return samples;
}

} // namespace tallyvox::testing

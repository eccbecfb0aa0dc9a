#pragma once

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tallyvox::testing {

// Written by tools/make_speaker_fixture.py: a width-8 network, its filter banks and embeddings.
inline std::filesystem::path speakerFixture(const std::string& name) {
    return std::filesystem::path(TALLYVOX_TESTS_DIR) / "speakers" / "fixtures" / name;
}

template <typename T> std::vector<T> readRaw(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    std::vector<T> values(static_cast<std::size_t>(in.tellg()) / sizeof(T));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(values.data()),
            static_cast<std::streamsize>(values.size() * sizeof(T)));
    return values;
}

inline std::vector<float> fixtureSpeech() {
    std::vector<float> samples;
    for (auto s : readRaw<std::int16_t>(speakerFixture("speech.s16")))
        samples.push_back(static_cast<float>(s) / 32768.0f);
    return samples;
}

inline double relativeError(const std::vector<float>& got, const std::vector<float>& want) {
    double diff = 0, norm = 0;
    for (std::size_t i = 0; i < want.size() && i < got.size(); ++i) {
        diff += (got[i] - want[i]) * static_cast<double>(got[i] - want[i]);
        norm += want[i] * static_cast<double>(want[i]);
    }
    return got.size() == want.size() ? std::sqrt(diff / norm) : INFINITY;
}

} // namespace tallyvox::testing

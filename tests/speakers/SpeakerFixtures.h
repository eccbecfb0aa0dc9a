#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
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

// espeak-ng speech as 16 kHz floats (resampled by sox), its trailing silence cut off; empty
// when either tool is missing. The text is put in single quotes, so it must hold none.
inline std::vector<float> espeak(const std::string& voice, const std::string& text) {
    std::string command = "espeak-ng -v " + voice + " --stdout '" + text +
                          "' 2>/dev/null | sox -q -t wav - -t f32 -r 16000 -c 1 - 2>/dev/null";
    std::vector<float> out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    float buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, sizeof(float), 4096, pipe)) > 0)
        out.insert(out.end(), buffer, buffer + n);
    pclose(pipe);
    auto loud = [](float x) { return std::abs(x) > 0.01f; };
    auto first = std::find_if(out.begin(), out.end(), loud);
    auto last = std::find_if(out.rbegin(), out.rend(), loud).base();
    if (first >= last)
        return {};
    return {first, last};
}

inline double cosine(const std::vector<float>& a, const std::vector<float>& b) {
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        ab += a[i] * static_cast<double>(b[i]);
        aa += a[i] * static_cast<double>(a[i]);
        bb += b[i] * static_cast<double>(b[i]);
    }
    return ab / std::sqrt(aa * bb);
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

#include "AudioFile.h"

#include "base/Error.h"

#include <sndfile.h>
#include <soxr.h>

namespace tallyvox::AudioFile {

std::vector<float> read16kMono(const std::filesystem::path& file) {
    SF_INFO info{};
    SNDFILE* sound = sf_open(file.c_str(), SFM_READ, &info);
    if (!sound)
        throw Error("Couldn't read the audio in " + file.string() + ": " + sf_strerror(nullptr));
    std::vector<float> interleaved(static_cast<size_t>(info.frames) *
                                   static_cast<size_t>(info.channels));
    sf_count_t frames = sf_readf_float(sound, interleaved.data(), info.frames);
    sf_close(sound);
    if (frames < 0 || info.channels < 1 || info.samplerate < 1)
        throw Error("Couldn't read the audio in " + file.string() + ".");

    std::vector<float> mono(static_cast<size_t>(frames));
    for (size_t i = 0; i < mono.size(); ++i) {
        float sum = 0;
        for (int c = 0; c < info.channels; ++c)
            sum += interleaved[i * static_cast<size_t>(info.channels) + static_cast<size_t>(c)];
        mono[i] = sum / static_cast<float>(info.channels);
    }
    if (info.samplerate == 16000 || mono.empty())
        return mono;

    double ratio = 16000.0 / info.samplerate;
    std::vector<float> resampled(static_cast<size_t>(static_cast<double>(mono.size()) * ratio) +
                                 16);
    size_t done = 0;
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    soxr_error_t error =
        soxr_oneshot(info.samplerate, 16000, 1, mono.data(), mono.size(), nullptr, resampled.data(),
                     resampled.size(), &done, nullptr, &quality, nullptr);
    if (error)
        throw Error("Couldn't resample the audio in " + file.string() + ": " + error);
    resampled.resize(done);
    return resampled;
}

} // namespace tallyvox::AudioFile

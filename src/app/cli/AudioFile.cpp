#include "AudioFile.h"

#include "base/Error.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace tallyvox::AudioFile {

namespace {

constexpr double outputRate = 16000;
// Samples of all channels decoded at once: a quarter of a megabyte, whatever the channels.
constexpr std::size_t blockSamples = 1 << 16;

std::string unreadable(const std::filesystem::path& file) {
    return "Couldn't read the audio in " + file.string();
}

} // namespace

Reader::Reader(const std::filesystem::path& file)
    : file_(file) {
    SF_INFO info{};
    sound_ = sf_open(file.c_str(), SFM_READ, &info);
    if (!sound_)
        throw Error(unreadable(file) + ": " + sf_strerror(nullptr));
    // libsndfile allows up to 1024 channels and any positive rate; a rate soxr cannot
    // convert is refused with the rest.
    if (info.channels < 1 || info.samplerate < 1 || info.frames < 0) {
        sf_close(sound_);
        throw Error(unreadable(file) + ".");
    }
    channels_ = info.channels;
    inputRate_ = info.samplerate;
    claimedSeconds_ = static_cast<double>(info.frames) / info.samplerate;
    if (info.samplerate != static_cast<int>(outputRate)) {
        soxr_error_t error = nullptr;
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
        resampler_ = soxr_create(info.samplerate, outputRate, 1, &error, &io, &quality, nullptr);
        if (error || !resampler_) {
            if (resampler_)
                soxr_delete(resampler_);
            sf_close(sound_);
            throw Error(unreadable(file) + ": " + (error ? error : "unsupported sample rate"));
        }
    }
    const std::size_t frames =
        std::max<std::size_t>(1, blockSamples / static_cast<std::size_t>(channels_));
    block_.resize(frames * static_cast<std::size_t>(channels_));
    mono_.resize(frames);
}

Reader::~Reader() {
    if (resampler_)
        soxr_delete(resampler_);
    sf_close(sound_);
}

void Reader::decodeBlock() {
    const auto channels = static_cast<std::size_t>(channels_);
    sf_count_t got = sf_readf_float(sound_, block_.data(), static_cast<sf_count_t>(mono_.size()));
    if (got < 0)
        got = 0;
    if (got == 0) {
        if (sf_error(sound_) != SF_ERR_NO_ERROR)
            error_ = unreadable(file_) + ": " + sf_strerror(sound_);
        fileDone_ = true;
    }
    const auto frames = static_cast<std::size_t>(got);
    for (std::size_t f = 0; f < frames; ++f) {
        float sum = 0;
        for (std::size_t c = 0; c < channels; ++c)
            sum += block_[f * channels + c];
        mono_[f] = sum / static_cast<float>(channels);
    }
    if (!resampler_) {
        pending_.insert(pending_.end(), mono_.begin(),
                        mono_.begin() + static_cast<std::ptrdiff_t>(frames));
        return;
    }
    // No input at the end flushes what the resampler still holds.
    const float* input = fileDone_ ? nullptr : mono_.data();
    std::size_t consumed = 0;
    std::vector<float> out;
    for (;;) {
        const std::size_t room =
            static_cast<std::size_t>(
                std::ceil(static_cast<double>(frames - consumed) * outputRate / inputRate_)) +
            4096;
        out.resize(room);
        std::size_t used = 0;
        std::size_t made = 0;
        soxr_error_t error =
            soxr_process(resampler_, input ? input + consumed : nullptr,
                         input ? frames - consumed : 0, &used, out.data(), out.size(), &made);
        if (error) {
            error_ = unreadable(file_) + ": " + error;
            fileDone_ = true;
            return;
        }
        consumed += used;
        pending_.insert(pending_.end(), out.begin(),
                        out.begin() + static_cast<std::ptrdiff_t>(made));
        // Done when all input is taken and the output had room to spare (a flush is done
        // when it makes nothing more).
        if (made < out.size() && (input ? consumed >= frames : made == 0))
            break;
    }
}

std::vector<float> Reader::read(std::size_t count) {
    while (pending_.size() - pendingStart_ < count && !fileDone_)
        decodeBlock();
    const std::size_t available = pending_.size() - pendingStart_;
    const std::size_t taken = std::min(count, available);
    const auto from = pending_.begin() + static_cast<std::ptrdiff_t>(pendingStart_);
    std::vector<float> samples(from, from + static_cast<std::ptrdiff_t>(taken));
    pendingStart_ += taken;
    // What was handed out goes once it is most of the buffer, so the buffer stays small.
    if (pendingStart_ > blockSamples && pendingStart_ * 2 > pending_.size()) {
        pending_.erase(pending_.begin(),
                       pending_.begin() + static_cast<std::ptrdiff_t>(pendingStart_));
        pendingStart_ = 0;
    }
    if (fileDone_ && pendingStart_ == pending_.size())
        finished_ = true;
    return samples;
}

} // namespace tallyvox::AudioFile

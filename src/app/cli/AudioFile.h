#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

typedef struct sf_private_tag SNDFILE;
struct soxr;

namespace tallyvox::AudioFile {

// An audio file (WAV, FLAC, Ogg and whatever else libsndfile reads) as 16 kHz mono float, a
// block at a time: memory stays the same whatever the file's length, or the length its header
// claims. Used on one thread at a time.
class Reader {
public:
    // Throws Error with a description for the user when the file cannot be read.
    explicit Reader(const std::filesystem::path& file);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Up to `count` more samples; fewer only at the end, nothing once all are read. A read
    // error ends the audio there (said in error()).
    std::vector<float> read(std::size_t count);
    bool finished() const { return finished_; }
    // The length the header gives, for showing progress only: a header may claim more than
    // the file holds.
    double claimedSeconds() const { return claimedSeconds_; }
    // Why the audio ended early; empty when it did not.
    const std::string& error() const { return error_; }

private:
    // Decodes one block from the file and appends its converted samples to pending_.
    void decodeBlock();

    std::filesystem::path file_;
    SNDFILE* sound_ = nullptr;
    soxr* resampler_ = nullptr;
    int channels_ = 1;
    double inputRate_ = 16000;
    double claimedSeconds_ = 0;
    bool fileDone_ = false;
    bool finished_ = false;
    std::string error_;
    std::vector<float> block_;   // interleaved frames as read
    std::vector<float> mono_;    // their average
    std::vector<float> pending_; // converted, not yet handed out
    std::size_t pendingStart_ = 0;
};

} // namespace tallyvox::AudioFile

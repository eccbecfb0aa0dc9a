#pragma once

#include "base/Error.h"
#include "transcription/ComputeDevice.h"
#include "transcription/Recognizer.h"
#include "types/WhisperModel.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

struct whisper_context;
struct whisper_vad_context;

namespace tallyvox {

// Installs a log callback that drops everything, once per process, so whisper.cpp and ggml
// never write to the console. Safe to call from any thread, any number of times.
void silenceWhisperLogs();
// Whether the recogniser knows this language code ("de", "yue").
bool whisperKnowsLanguage(const std::string& code);

// One loaded whisper.cpp recogniser, with the Silero speech detector when its file is there.
// Not shared: all calls come from one queue at a time.
class WhisperContext : public Recognizer {
public:
    class LoadError : public Error {
    public:
        explicit LoadError(WhisperModel model);
        WhisperModel model() const { return model_; }

    private:
        WhisperModel model_;
    };

    // The model and the speech detector from the models folder.
    explicit WhisperContext(WhisperModel model, bool useGPU = true);
    // Given files, used as they are; `model` names the model in messages. With `useGPU`, on
    // the graphics processor when one works (ComputeDevices::choose), else on the processor.
    WhisperContext(WhisperModel model, const std::filesystem::path& modelFile,
                   const std::filesystem::path& vadFile, bool useGPU = true);
    ~WhisperContext() override;
    WhisperContext(const WhisperContext&) = delete;
    WhisperContext& operator=(const WhisperContext&) = delete;

    // Usable processors minus two, kept between 2 and 6, and never above the processors.
    static int threadCount(long processors);
    int threads() const { return threads_; }
    bool hasVAD() const { return vad_ != nullptr; }
    std::string device() const override { return device_.name; }
    std::optional<WhisperModel> model() const override { return model_; }

    std::optional<std::vector<SpeechRange>> speech(std::span<const float> samples) override;
    std::vector<WhisperSegment> transcribe(std::span<const float> samples,
                                           const std::string& language,
                                           const std::string& prompt) override;
    std::map<std::string, float>
    languageProbabilities(std::span<const float> samples,
                          const std::vector<std::string>& among) override;

    // For benchmarks: random weights end a window after a few tokens, which hides the
    // decoder's cost. With a count above zero, every window's decoder writes that many text
    // tokens before it may end, and never falls back to sampling, as with clear speech.
    void forceDecodedTokens(int count) { forcedTokens_ = count; }
    // For benchmarks: the mean seconds of one encoder pass since the last reset.
    double encoderPassSeconds() const;
    void resetTimings();

    // Word timings of one segment of the last recognition.
    std::vector<WhisperWord> words(int segment, double start, double end) const;

    // The tokens of `prompt` recognition is given: those of its bounded text, at most the
    // recogniser's n_text_ctx/2 of them, from its end. Nothing when the tokenizer refuses it.
    std::optional<std::vector<std::int32_t>> promptTokens(const std::string& prompt) const;

private:
    // Logged once: a recogniser that cannot use the prompt cannot use it for any window.
    void promptFailed();

    WhisperModel model_;
    ComputeDevice device_;
    whisper_context* ctx_ = nullptr;
    whisper_vad_context* vad_ = nullptr;
    std::string vadPath_;
    long processors_ = 1;
    int threads_ = 2;
    int forcedTokens_ = 0;
    bool promptFailed_ = false;
};

namespace WhisperWords {

// A text token of a result segment: its bytes and its times in hundredths of a second.
struct Token {
    std::string bytes;
    std::int64_t t0 = 0;
    std::int64_t t1 = 0;
};

// Joins tokens into words (a leading space starts a word) and maps their times linearly onto
// [start, end]. Empty when the tokens span no time.
std::vector<WhisperWord> fromTokens(const std::vector<Token>& tokens, double start, double end);

} // namespace WhisperWords

// The product's recogniser: whisper.cpp with the files of the models folder, on the device
// `useGPU` allows (asked at each load, so a changed setting applies to the next model; none
// allows it).
RecognizerLoader whisperLoader(std::function<bool()> useGPU = nullptr);
// The same with given files, used as they are (the command line's --model PATH, --vad PATH).
RecognizerLoader whisperLoader(std::filesystem::path modelFile, std::filesystem::path vadFile,
                               std::function<bool()> useGPU = nullptr);

} // namespace tallyvox

#pragma once

#include "types/WhisperModel.h"
#include "types/WhisperSegment.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tallyvox {

// What the engine asks of a speech recogniser; whisper.cpp answers it in the product.
// All calls for one recogniser come from one queue at a time.
class Recognizer {
public:
    virtual ~Recognizer() = default;

    // Speech ranges in seconds of `samples`; nothing when no voice-activity model is loaded.
    virtual std::optional<std::vector<SpeechRange>> speech(std::span<const float> samples) = 0;
    // Segments with word timings, in seconds of `samples`; empty when recognition fails.
    virtual std::vector<WhisperSegment> transcribe(std::span<const float> samples,
                                                   const std::string& language,
                                                   const std::string& prompt) = 0;
    // Probability of each listed language code; empty when detection fails.
    virtual std::map<std::string, float>
    languageProbabilities(std::span<const float> samples,
                          const std::vector<std::string>& among) = 0;
    // The device it computes on, for people ("CPU: <processor>"); empty when not known.
    virtual std::string device() const { return {}; }
    // The model it loaded, when it says: the original where a quantised copy would not load.
    virtual std::optional<WhisperModel> model() const { return std::nullopt; }
};

// Loads the recogniser of a model; throws tallyvox::Error (worded for the user) on failure.
using RecognizerLoader = std::function<std::unique_ptr<Recognizer>(WhisperModel)>;

} // namespace tallyvox

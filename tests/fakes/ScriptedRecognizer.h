#pragma once

#include "transcription/Diarizer.h"
#include "transcription/Recognizer.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox::testing {

// A segment whose words share its time evenly, each with a leading space as the recogniser
// writes them. `withWords` false gives a segment without word timings.
WhisperSegment makeSegment(double start, double end, const std::string& text,
                           bool withWords = true);

// Canned recogniser answers, one per call in order; once a queue is empty the fallback
// answers. Shared between the test and the recogniser the engine owns, and safe to use from
// the engine's queue thread while the test reads it.
class RecognizerScript {
public:
    using Speech = std::optional<std::vector<SpeechRange>>;

    struct Call {
        size_t samples = 0;
        float first = 0; // first and last sample, so tests can tell which audio came
        float last = 0;
        std::string language;           // transcribe only
        std::string prompt;             // transcribe only
        std::vector<std::string> among; // languageProbabilities only
    };

    void pushSpeech(Speech speech);
    void pushSegments(std::vector<WhisperSegment> segments);
    void pushLanguages(std::map<std::string, float> probabilities);

    // Answers once the queues are used up (default: no detector, nothing heard, no guess).
    void setSpeech(std::function<Speech(std::span<const float>)> answer);
    void
    setSegments(std::function<std::vector<WhisperSegment>(
                    std::span<const float>, const std::string& language, const std::string& prompt)>
                    answer);
    void setLanguages(std::function<std::map<std::string, float>(std::span<const float>)> answer);

    // Every call answers nothing (no detector, no segments, no probabilities).
    void setSilent(bool silent);
    // Every call throws a tallyvox::Error.
    void setThrowing(bool throwing);
    // What the recogniser says it computes on (default: nothing said).
    std::string device;
    // The model it says it loaded (default: nothing said).
    std::optional<WhisperModel> model;

    std::vector<Call> speechCalls() const;
    std::vector<Call> transcribeCalls() const;
    std::vector<Call> languageCalls() const;
    int loads() const;
    bool alive() const; // a recogniser made from this script still exists

private:
    friend class ScriptedRecognizer;
    friend RecognizerLoader recognizerLoader(std::shared_ptr<RecognizerScript>);

    mutable std::mutex mutex_;
    std::deque<Speech> speech_;
    std::deque<std::vector<WhisperSegment>> segments_;
    std::deque<std::map<std::string, float>> languages_;
    std::function<Speech(std::span<const float>)> speechAnswer_;
    std::function<std::vector<WhisperSegment>(std::span<const float>, const std::string&,
                                              const std::string&)>
        segmentsAnswer_;
    std::function<std::map<std::string, float>(std::span<const float>)> languagesAnswer_;
    bool silent_ = false;
    bool throwing_ = false;
    std::vector<Call> speechCalls_, transcribeCalls_, languageCalls_;
    int loads_ = 0;
    int alive_ = 0;
};

class ScriptedRecognizer : public Recognizer {
public:
    explicit ScriptedRecognizer(std::shared_ptr<RecognizerScript> script);
    ~ScriptedRecognizer() override;

    std::optional<std::vector<SpeechRange>> speech(std::span<const float> samples) override;
    std::vector<WhisperSegment> transcribe(std::span<const float> samples,
                                           const std::string& language,
                                           const std::string& prompt) override;
    std::map<std::string, float>
    languageProbabilities(std::span<const float> samples,
                          const std::vector<std::string>& among) override;
    std::string device() const override { return script_->device; }
    std::optional<WhisperModel> model() const override { return script_->model; }

private:
    std::shared_ptr<RecognizerScript> script_;
};

// Loads a ScriptedRecognizer playing `script`.
RecognizerLoader recognizerLoader(std::shared_ptr<RecognizerScript> script);
// Fails like a missing model file.
RecognizerLoader failingRecognizerLoader(std::string message = "Couldn't load the Whisper model.");

// Canned speaker numbers: one list per label() call, one entry per segment in order;
// segments beyond a list (or after the queue runs out) get `fallback`.
class DiarizerScript {
public:
    struct Call {
        std::vector<WhisperSegment> segments;
        size_t samples = 0;
        bool hadSpeech = false;
        bool cutLongLines = false;
    };

    void pushSpeakers(std::vector<std::optional<int>> speakers);
    void setFallback(std::optional<int> speaker);
    // Full control, e.g. to split lines.
    void setLabel(std::function<Diarizer::Labelled(const std::vector<WhisperSegment>&)> label);
    void setThrowing(bool throwing);
    std::vector<Call> calls() const;

private:
    friend class ScriptedDiarizer;
    mutable std::mutex mutex_;
    std::deque<std::vector<std::optional<int>>> speakers_;
    std::optional<int> fallback_;
    std::function<Diarizer::Labelled(const std::vector<WhisperSegment>&)> label_;
    bool throwing_ = false;
    std::vector<Call> calls_;
};

class ScriptedDiarizer : public Diarizer {
public:
    explicit ScriptedDiarizer(std::shared_ptr<DiarizerScript> script)
        : script_(std::move(script)) {}
    Labelled label(const std::vector<WhisperSegment>& segments, std::span<const float> audio,
                   const std::optional<std::vector<SpeechRange>>& speech,
                   bool cutLongLines) override;

private:
    std::shared_ptr<DiarizerScript> script_;
};

DiarizerLoader diarizerLoader(std::shared_ptr<DiarizerScript> script);
DiarizerLoader failingDiarizerLoader(std::string message = "Speaker models are missing.");

// Audio a test hands to the engine: pushed samples come out of `drain` once each.
class ScriptedAudio {
public:
    void push(const std::vector<float>& samples);
    // `seconds` of 16 kHz samples, all of `value`.
    void push(double seconds, float value);
    std::function<std::vector<float>()> drain();
    size_t waiting() const;

private:
    std::shared_ptr<std::pair<std::mutex, std::vector<float>>> buffer_ =
        std::make_shared<std::pair<std::mutex, std::vector<float>>>();
};

} // namespace tallyvox::testing

#include "fakes/ScriptedRecognizer.h"

#include "base/Error.h"
#include "transcription/Dedup.h"

namespace tallyvox::testing {

namespace {
RecognizerScript::Call describe(std::span<const float> samples) {
    RecognizerScript::Call call;
    call.samples = samples.size();
    if (!samples.empty()) {
        call.first = samples.front();
        call.last = samples.back();
    }
    return call;
}
} // namespace

WhisperSegment makeSegment(double start, double end, const std::string& text, bool withWords) {
    WhisperSegment segment{start, end, text, {}};
    if (!withWords)
        return segment;
    auto words = Dedup::words(text);
    double step = words.empty() ? 0 : (end - start) / static_cast<double>(words.size());
    for (size_t i = 0; i < words.size(); ++i)
        segment.words.push_back({start + step * static_cast<double>(i),
                                 start + step * static_cast<double>(i + 1), " " + words[i]});
    return segment;
}

void RecognizerScript::pushSpeech(Speech speech) {
    std::lock_guard lock(mutex_);
    speech_.push_back(std::move(speech));
}
void RecognizerScript::pushSegments(std::vector<WhisperSegment> segments) {
    std::lock_guard lock(mutex_);
    segments_.push_back(std::move(segments));
}
void RecognizerScript::pushLanguages(std::map<std::string, float> probabilities) {
    std::lock_guard lock(mutex_);
    languages_.push_back(std::move(probabilities));
}
void RecognizerScript::setSpeech(std::function<Speech(std::span<const float>)> answer) {
    std::lock_guard lock(mutex_);
    speechAnswer_ = std::move(answer);
}
void RecognizerScript::setSegments(
    std::function<std::vector<WhisperSegment>(std::span<const float>, const std::string&,
                                              const std::string&)>
        answer) {
    std::lock_guard lock(mutex_);
    segmentsAnswer_ = std::move(answer);
}
void RecognizerScript::setLanguages(
    std::function<std::map<std::string, float>(std::span<const float>)> answer) {
    std::lock_guard lock(mutex_);
    languagesAnswer_ = std::move(answer);
}
void RecognizerScript::setSilent(bool silent) {
    std::lock_guard lock(mutex_);
    silent_ = silent;
}
void RecognizerScript::setThrowing(bool throwing) {
    std::lock_guard lock(mutex_);
    throwing_ = throwing;
}
std::vector<RecognizerScript::Call> RecognizerScript::speechCalls() const {
    std::lock_guard lock(mutex_);
    return speechCalls_;
}
std::vector<RecognizerScript::Call> RecognizerScript::transcribeCalls() const {
    std::lock_guard lock(mutex_);
    return transcribeCalls_;
}
std::vector<RecognizerScript::Call> RecognizerScript::languageCalls() const {
    std::lock_guard lock(mutex_);
    return languageCalls_;
}
int RecognizerScript::loads() const {
    std::lock_guard lock(mutex_);
    return loads_;
}
bool RecognizerScript::alive() const {
    std::lock_guard lock(mutex_);
    return alive_ > 0;
}

ScriptedRecognizer::ScriptedRecognizer(std::shared_ptr<RecognizerScript> script)
    : script_(std::move(script)) {
    std::lock_guard lock(script_->mutex_);
    ++script_->alive_;
}

ScriptedRecognizer::~ScriptedRecognizer() {
    std::lock_guard lock(script_->mutex_);
    --script_->alive_;
}

// Answers are taken under the lock but user functions run outside it, so they may use
// the script themselves.
std::optional<std::vector<SpeechRange>> ScriptedRecognizer::speech(std::span<const float> samples) {
    std::function<RecognizerScript::Speech(std::span<const float>)> answer;
    std::vector<SpeechRange> ranges;
    bool scripted = false, heard = false;
    {
        std::lock_guard lock(script_->mutex_);
        script_->speechCalls_.push_back(describe(samples));
        if (script_->throwing_)
            throw Error("speech detection broke");
        if (script_->silent_)
            return std::nullopt;
        if (!script_->speech_.empty()) {
            scripted = true;
            heard = script_->speech_.front().has_value();
            if (heard)
                ranges = *script_->speech_.front();
            script_->speech_.pop_front();
        } else {
            answer = script_->speechAnswer_;
        }
    }
    if (scripted)
        return heard ? std::optional(ranges) : std::nullopt;
    return answer ? answer(samples) : std::nullopt;
}

std::vector<WhisperSegment> ScriptedRecognizer::transcribe(std::span<const float> samples,
                                                           const std::string& language,
                                                           const std::string& prompt) {
    std::function<std::vector<WhisperSegment>(std::span<const float>, const std::string&,
                                              const std::string&)>
        answer;
    {
        std::lock_guard lock(script_->mutex_);
        auto call = describe(samples);
        call.language = language;
        call.prompt = prompt;
        script_->transcribeCalls_.push_back(std::move(call));
        if (script_->throwing_)
            throw Error("recognition broke");
        if (script_->silent_)
            return {};
        if (!script_->segments_.empty()) {
            auto segments = std::move(script_->segments_.front());
            script_->segments_.pop_front();
            return segments;
        }
        answer = script_->segmentsAnswer_;
    }
    return answer ? answer(samples, language, prompt) : std::vector<WhisperSegment>{};
}

std::map<std::string, float>
ScriptedRecognizer::languageProbabilities(std::span<const float> samples,
                                          const std::vector<std::string>& among) {
    std::function<std::map<std::string, float>(std::span<const float>)> answer;
    {
        std::lock_guard lock(script_->mutex_);
        auto call = describe(samples);
        call.among = among;
        script_->languageCalls_.push_back(std::move(call));
        if (script_->throwing_)
            throw Error("language detection broke");
        if (script_->silent_)
            return {};
        if (!script_->languages_.empty()) {
            auto languages = std::move(script_->languages_.front());
            script_->languages_.pop_front();
            return languages;
        }
        answer = script_->languagesAnswer_;
    }
    return answer ? answer(samples) : std::map<std::string, float>{};
}

RecognizerLoader recognizerLoader(std::shared_ptr<RecognizerScript> script) {
    return [script](WhisperModel) -> std::unique_ptr<Recognizer> {
        {
            std::lock_guard lock(script->mutex_);
            ++script->loads_;
        }
        return std::make_unique<ScriptedRecognizer>(script);
    };
}

RecognizerLoader failingRecognizerLoader(std::string message) {
    return [message](WhisperModel) -> std::unique_ptr<Recognizer> { throw Error(message); };
}

void DiarizerScript::pushSpeakers(std::vector<std::optional<int>> speakers) {
    std::lock_guard lock(mutex_);
    speakers_.push_back(std::move(speakers));
}
void DiarizerScript::setFallback(std::optional<int> speaker) {
    std::lock_guard lock(mutex_);
    fallback_ = speaker;
}
void DiarizerScript::setLabel(
    std::function<Diarizer::Labelled(const std::vector<WhisperSegment>&)> label) {
    std::lock_guard lock(mutex_);
    label_ = std::move(label);
}
void DiarizerScript::setThrowing(bool throwing) {
    std::lock_guard lock(mutex_);
    throwing_ = throwing;
}
std::vector<DiarizerScript::Call> DiarizerScript::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

Diarizer::Labelled ScriptedDiarizer::label(const std::vector<WhisperSegment>& segments,
                                           std::span<const float> audio,
                                           const std::optional<std::vector<SpeechRange>>& speech,
                                           bool cutLongLines) {
    std::function<Labelled(const std::vector<WhisperSegment>&)> custom;
    Labelled out;
    {
        std::lock_guard lock(script_->mutex_);
        script_->calls_.push_back({segments, audio.size(), speech.has_value(), cutLongLines});
        if (script_->throwing_)
            throw Error("speaker labelling broke");
        custom = script_->label_;
        if (!custom) {
            std::vector<std::optional<int>> speakers;
            if (!script_->speakers_.empty()) {
                speakers = std::move(script_->speakers_.front());
                script_->speakers_.pop_front();
            }
            for (size_t i = 0; i < segments.size(); ++i)
                out.emplace_back(segments[i],
                                 i < speakers.size() ? speakers[i] : script_->fallback_);
        }
    }
    return custom ? custom(segments) : out;
}

DiarizerLoader diarizerLoader(std::shared_ptr<DiarizerScript> script) {
    return [script]() -> std::unique_ptr<Diarizer> {
        return std::make_unique<ScriptedDiarizer>(script);
    };
}

DiarizerLoader failingDiarizerLoader(std::string message) {
    return [message]() -> std::unique_ptr<Diarizer> { throw Error(message); };
}

void ScriptedAudio::push(const std::vector<float>& samples) {
    std::lock_guard lock(buffer_->first);
    buffer_->second.insert(buffer_->second.end(), samples.begin(), samples.end());
}

void ScriptedAudio::push(double seconds, float value) {
    push(std::vector<float>(static_cast<size_t>(seconds * 16000 + 0.5), value));
}

std::function<std::vector<float>()> ScriptedAudio::drain() {
    return [buffer = buffer_] {
        std::lock_guard lock(buffer->first);
        return std::exchange(buffer->second, {});
    };
}

size_t ScriptedAudio::waiting() const {
    std::lock_guard lock(buffer_->first);
    return buffer_->second.size();
}

} // namespace tallyvox::testing

#include "transcription/WhisperContext.h"

#include "base/Log.h"
#include "base/TextLines.h"
#include "base/UsableProcessors.h"
#include "base/Utf8.h"
#include "transcription/CpuBackend.h"
#include "transcription/ModelFiles.h"
#include "transcription/ModelQuantiser.h"
#include "transcription/PromptText.h"
#include "types/MachineSpeed.h"

#include <whisper.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <utility>

namespace tallyvox {

namespace {

constexpr std::int64_t vadMinimumBytes = 800000;
// The detector runs one tiny graph per 32 ms of audio; with two threads each graph pays a
// thread hand-over, which on a busy two-core machine made 11 s of audio take 49 s (0.04 s on
// one thread).
constexpr int vadThreads = 1;
constexpr long whisperInternalVadThreads = 4;

whisper_vad_params vadParams() {
    whisper_vad_params params = whisper_vad_default_params();
    params.threshold = 0.4f;
    params.min_speech_duration_ms = 150;
    params.min_silence_duration_ms = 300;
    params.speech_pad_ms = 250;
    return params;
}

} // namespace

bool whisperKnowsLanguage(const std::string& code) {
    silenceWhisperLogs();
    return whisper_lang_id(code.c_str()) >= 0;
}

void silenceWhisperLogs() {
    static std::once_flag once;
    std::call_once(once,
                   [] { whisper_log_set([](ggml_log_level, const char*, void*) {}, nullptr); });
}

WhisperContext::LoadError::LoadError(WhisperModel model)
    : Error("Couldn't load the Whisper " + std::string(model.title()) +
            " model. Try downloading it again.")
    , model_(model) {}

WhisperContext::WhisperContext(WhisperModel model, bool useGPU)
    : WhisperContext(model, model.localPath(), VADModel::localPath(), useGPU) {}

WhisperContext::WhisperContext(WhisperModel model, const std::filesystem::path& modelFile,
                               const std::filesystem::path& vadFile, bool useGPU)
    : model_(model) {
    // What the process may use, not what the machine has: a process limited to 2 of 4 CPUs
    // running 4 threads took minutes per window.
    processors_ = UsableProcessors::count();
    threads_ = threadCount(processors_);
    silenceWhisperLogs();
    // Before whisper.cpp looks for its devices: without a CPU backend it would fail on a null
    // device instead of saying what is missing.
    CpuBackend::require();

    device_ = ComputeDevices::choose(useGPU);
    whisper_context_params params = whisper_context_default_params();
    params.use_gpu = device_.gpu;
    params.flash_attn = true;
    try {
        ctx_ = whisper_init_from_file_with_params(modelFile.c_str(), params);
    } catch (const std::exception& e) {
        // A graphics driver's failure surfaces as an exception through whisper.cpp.
        Log::error("Loading the model on {} failed: {}", device_.name, e.what());
    }
    if (!ctx_ && device_.gpu) {
        // The device passed its check yet this model does not load on it (its memory, say):
        // the processor still can.
        Log::error("{} could not load the model; recognising on the processor", device_.name);
        device_ = ComputeDevices::processor();
        params.use_gpu = false;
        ctx_ = whisper_init_from_file_with_params(modelFile.c_str(), params);
    }
    if (!ctx_)
        throw LoadError(model);

    if (fileSizeOrZero(vadFile) < vadMinimumBytes) {
        Log::error("VAD model missing; transcribing without speech detection");
    } else {
        whisper_vad_context_params vadContext = whisper_vad_default_context_params();
        vadContext.n_threads = vadThreads;
        vadContext.use_gpu = false;
        vad_ = whisper_vad_init_from_file_with_params(vadFile.c_str(), vadContext);
        if (vad_)
            vadPath_ = vadFile.string();
    }
    // A file given by hand is named as it is: it need not be the model it stands in for.
    std::string name =
        modelFile == model.localPath() || (model.isVariant() && modelFile == model.copyPath())
            ? std::string(model.title())
            : modelFile.filename().string();
    Log::info("Loaded Whisper {}, VAD {}, on {}", name, vad_ ? "on" : "off", device_.name);
}

WhisperContext::~WhisperContext() {
    whisper_free(ctx_);
    if (vad_)
        whisper_vad_free(vad_);
}

int WhisperContext::threadCount(long processors) {
    return MachineSpeed::recognizerThreads(processors);
}

std::optional<std::vector<SpeechRange>> WhisperContext::speech(std::span<const float> samples) {
    if (!vad_)
        return std::nullopt;
    std::vector<SpeechRange> ranges;
    whisper_vad_segments* segments = whisper_vad_segments_from_samples(
        vad_, vadParams(), samples.data(), static_cast<int>(samples.size()));
    if (!segments)
        return ranges;
    int count = whisper_vad_segments_n_segments(segments);
    for (int i = 0; i < count; ++i)
        ranges.push_back({whisper_vad_segments_get_segment_t0(segments, i) / 100.0,
                          whisper_vad_segments_get_segment_t1(segments, i) / 100.0});
    whisper_vad_free_segments(segments);
    return ranges;
}

std::vector<WhisperSegment> WhisperContext::transcribe(std::span<const float> samples,
                                                       const std::string& language,
                                                       const std::string& prompt) {
    whisper_full_params params = whisper_full_default_params(WHISPER_SAMPLING_BEAM_SEARCH);
    params.n_threads = threads_;
    params.translate = false;
    // Continuity between windows comes only from the prompt.
    params.no_context = true;
    params.print_special = false;
    params.print_progress = false;
    params.print_realtime = false;
    params.print_timestamps = false;
    params.token_timestamps = true;
    params.suppress_blank = true;
    params.suppress_nst = true;
    params.no_speech_thold = 0.6f;
    params.beam_search.beam_size = 5;
    params.language = language.c_str();
    // Tokenized here rather than by whisper_full, on bounded text: the recogniser's own pass
    // over a long word overflowed the stack.
    std::vector<whisper_token> tokens;
    if (!prompt.empty()) {
        if (auto made = promptTokens(prompt))
            tokens = std::move(*made);
        else
            promptFailed();
    }
    params.initial_prompt = nullptr;
    params.prompt_tokens = tokens.empty() ? nullptr : tokens.data();
    params.prompt_n_tokens = static_cast<int>(tokens.size());
    // whisper.cpp's own speech filter inside recognition always runs on four threads; on a
    // machine with fewer processors they fight over the cores and 11 s of audio took 82 s
    // instead of under one. There the window is recognised whole: the engine has already
    // dropped windows without speech and re-listens to skipped speech itself.
    if (vad_ && processors_ >= whisperInternalVadThreads) {
        params.vad = true;
        params.vad_model_path = vadPath_.c_str();
        params.vad_params = vadParams();
    }

    if (forcedTokens_ > 0) {
        params.temperature_inc = 0.0f;
        params.logits_filter_callback = [](whisper_context* ctx, whisper_state*,
                                           const whisper_token_data*, int decoded, float* logits,
                                           void* wanted) {
            if (decoded >= *static_cast<const int*>(wanted))
                return;
            logits[whisper_token_eot(ctx)] = -INFINITY;
            // The window's opening timestamp stays free; later ones would close the segment.
            if (decoded > 0)
                for (int t = whisper_token_beg(ctx); t < whisper_n_vocab(ctx); ++t)
                    logits[t] = -INFINITY;
        };
        params.logits_filter_callback_user_data = &forcedTokens_;
    }

    std::vector<WhisperSegment> segments;
    int result = whisper_full(ctx_, params, samples.data(), static_cast<int>(samples.size()));
    // The words are worth more than the prompt's help with them.
    if (result != 0 && !tokens.empty()) {
        promptFailed();
        params.prompt_tokens = nullptr;
        params.prompt_n_tokens = 0;
        result = whisper_full(ctx_, params, samples.data(), static_cast<int>(samples.size()));
    }
    if (result != 0) {
        Log::error("whisper_full failed: {}", result);
        return segments;
    }
    int count = whisper_full_n_segments(ctx_);
    for (int i = 0; i < count; ++i) {
        if (whisper_full_get_segment_no_speech_prob(ctx_, i) > 0.8f)
            continue;
        const char* raw = whisper_full_get_segment_text(ctx_, i);
        if (!raw)
            break;
        std::string text = std::string(TextLines::trimmed(raw));
        if (text.empty())
            continue;
        double start = whisper_full_get_segment_t0(ctx_, i) / 100.0;
        double end = whisper_full_get_segment_t1(ctx_, i) / 100.0;
        segments.push_back({start, end, std::move(text), words(i, start, end)});
    }
    return segments;
}

std::optional<std::vector<std::int32_t>>
WhisperContext::promptTokens(const std::string& prompt) const {
    const std::string text = PromptText::bounded(prompt);
    // A token is at least one byte.
    std::vector<whisper_token> tokens(text.size() + 1);
    int count =
        whisper_tokenize(ctx_, text.c_str(), tokens.data(), static_cast<int>(tokens.size()));
    if (count < 0)
        return std::nullopt;
    tokens.resize(static_cast<size_t>(count));
    const auto used = static_cast<size_t>(std::max(whisper_n_text_ctx(ctx_) / 2, 0));
    if (tokens.size() > used)
        tokens.erase(tokens.begin(), tokens.end() - static_cast<std::ptrdiff_t>(used));
    return tokens;
}

void WhisperContext::promptFailed() {
    if (std::exchange(promptFailed_, true))
        return;
    Log::error("The vocabulary and context could not be used; recognising without them");
}

double WhisperContext::encoderPassSeconds() const {
    // The library hands over a fresh copy each time.
    std::unique_ptr<whisper_timings> timings(whisper_get_timings(ctx_));
    return timings ? timings->encode_ms / 1000.0 : 0.0;
}

void WhisperContext::resetTimings() {
    whisper_reset_timings(ctx_);
}

std::vector<WhisperWord> WhisperContext::words(int segment, double start, double end) const {
    whisper_token eot = whisper_token_eot(ctx_);
    std::vector<WhisperWords::Token> tokens;
    int count = whisper_full_n_tokens(ctx_, segment);
    for (int j = 0; j < count; ++j) {
        if (whisper_full_get_token_id(ctx_, segment, j) >= eot)
            continue;
        const char* text = whisper_full_get_token_text(ctx_, segment, j);
        if (!text)
            continue;
        whisper_token_data data = whisper_full_get_token_data(ctx_, segment, j);
        tokens.push_back({text, data.t0, data.t1});
    }
    return WhisperWords::fromTokens(tokens, start, end);
}

std::map<std::string, float>
WhisperContext::languageProbabilities(std::span<const float> samples,
                                      const std::vector<std::string>& among) {
    std::map<std::string, float> result;
    if (whisper_pcm_to_mel(ctx_, samples.data(), static_cast<int>(samples.size()), threads_) != 0)
        return result;
    std::vector<float> probabilities(static_cast<size_t>(whisper_lang_max_id()) + 1, 0.0f);
    if (whisper_lang_auto_detect(ctx_, 0, threads_, probabilities.data()) < 0)
        return result;
    for (const auto& code : among) {
        int id = whisper_lang_id(code.c_str());
        // A code the library does not know has no probability to report.
        if (id >= 0 && static_cast<size_t>(id) < probabilities.size())
            result[code] = probabilities[static_cast<size_t>(id)];
    }
    return result;
}

namespace WhisperWords {

std::vector<WhisperWord> fromTokens(const std::vector<Token>& tokens, double start, double end) {
    struct Pending {
        std::int64_t t0, t1;
        std::string bytes;
    };
    std::vector<Pending> pending;
    for (const auto& token : tokens) {
        if (pending.empty() || (!token.bytes.empty() && token.bytes.front() == ' ')) {
            pending.push_back({token.t0, token.t1, token.bytes});
        } else {
            pending.back().bytes += token.bytes;
            pending.back().t1 = token.t1;
        }
    }
    std::vector<WhisperWord> words;
    if (pending.empty() || pending.front().t0 >= pending.back().t1)
        return words;
    double first = static_cast<double>(pending.front().t0);
    double scale = (end - start) / (static_cast<double>(pending.back().t1) - first);
    for (const auto& word : pending)
        words.push_back({start + (static_cast<double>(word.t0) - first) * scale,
                         start + (static_cast<double>(word.t1) - first) * scale,
                         Utf8::repaired(word.bytes)});
    return words;
}

} // namespace WhisperWords

RecognizerLoader whisperLoader(std::function<bool()> useGPU) {
    return [useGPU = std::move(useGPU)](WhisperModel model) -> std::unique_ptr<Recognizer> {
        const bool gpu = !useGPU || useGPU();
        const auto file = ModelQuantiser::fileToLoad(model);
        if (file != model.localPath()) {
            try {
                return std::make_unique<WhisperContext>(model, file, VADModel::localPath(), gpu);
            } catch (const WhisperContext::LoadError&) {
                Log::error("Couldn't load the {} copy of the Whisper {} model; loading the "
                           "original",
                           WhisperModel::variantName(model.variant()), model.original().title());
            }
        }
        model = model.original();
        try {
            return std::make_unique<WhisperContext>(model, gpu);
        } catch (const WhisperContext::LoadError&) {
            // The user is told to download it again; a damaged file would stop that, since
            // a file of full size counts as downloaded.
            ModelFiles::setAsideIfDamaged(model.localPath(), model.sha256());
            throw;
        }
    };
}

RecognizerLoader whisperLoader(std::filesystem::path modelFile, std::filesystem::path vadFile,
                               std::function<bool()> useGPU) {
    return [modelFile = std::move(modelFile), vadFile = std::move(vadFile),
            useGPU = std::move(useGPU)](WhisperModel model) -> std::unique_ptr<Recognizer> {
        return std::make_unique<WhisperContext>(model, modelFile, vadFile, !useGPU || useGPU());
    };
}

} // namespace tallyvox

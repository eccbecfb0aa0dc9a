#include "transcription/WindowRecognizer.h"

#include "base/Log.h"
#include "transcription/ChunkCommitter.h"
#include "transcription/Dedup.h"
#include "transcription/PromptText.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace tallyvox {

namespace {

constexpr double sampleRate = 16000;
constexpr size_t contextCharacters = 200;
// Lines this close to a hole are what its re-heard words must not repeat.
constexpr double holeNeighbourhood = 5;

double seconds(size_t samples) {
    return static_cast<double>(samples) / sampleRate;
}

size_t sampleIndex(double time, size_t count) {
    double position = time * sampleRate;
    if (!(position > 0))
        return 0;
    if (position >= static_cast<double>(count))
        return count;
    return static_cast<size_t>(position);
}

// The last `count` characters, never splitting a UTF-8 sequence.
std::string tail(std::string_view text, size_t count) {
    size_t start = text.size();
    size_t characters = 0;
    while (start > 0 && characters < count) {
        --start;
        if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80)
            ++characters;
    }
    return std::string(text.substr(start));
}

std::vector<std::string> listedLanguages(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('+', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

} // namespace

WindowRecognizer::WindowRecognizer(std::unique_ptr<Recognizer> recognizer,
                                   const EngineOptions& options)
    : recognizer_(std::move(recognizer))
    , language_(options.language)
    , listed_(listedLanguages(options.language))
    , vocabulary_(options.vocabulary) {}

std::optional<std::vector<SpeechRange>> WindowRecognizer::speech(std::span<const float> audio) {
    try {
        return recognizer_->speech(audio);
    } catch (const std::exception& e) {
        Log::error("Speech detection failed: {}", e.what());
        return std::nullopt;
    }
}

std::vector<WhisperSegment> WindowRecognizer::transcribe(std::span<const float> audio,
                                                         const std::string& language,
                                                         const std::string& prompt) {
    // A vocabulary stored before it had a limit, or edited by hand, reaches here whole.
    const std::string bounded = PromptText::bounded(prompt);
    if (!bounded.empty()) {
        try {
            return recognizer_->transcribe(audio, language, bounded);
        } catch (const std::exception& e) {
            // The window is still heard, only without the prompt's help.
            if (!std::exchange(promptFailed_, true))
                Log::error("Recognition with the vocabulary and context failed ({}); trying "
                           "without them",
                           e.what());
        }
    }
    try {
        return recognizer_->transcribe(audio, language, "");
    } catch (const std::exception& e) {
        Log::error("Recognition failed: {}", e.what());
        return {};
    }
}

std::map<std::string, float> WindowRecognizer::probabilities(std::span<const float> audio) {
    try {
        return recognizer_->languageProbabilities(audio, listed_);
    } catch (const std::exception& e) {
        Log::error("Language detection failed: {}", e.what());
        return {};
    }
}

std::string WindowRecognizer::context(const Window& window) const {
    if (!window.lastLine)
        return "";
    // Appended rather than "literal" + temporary: GCC 12 at -O3 misreads the latter (bug 105329).
    std::string context = " ";
    context += tail(*window.lastLine, contextCharacters);
    return context;
}

std::vector<WhisperSegment>
WindowRecognizer::recognise(const Window& window, ChannelLanguage& language, EngineStats& stats) {
    auto lines = inLanguage(window, language, stats);
    if (window.speech)
        fillHoles(window, language, lines, stats);
    return lines;
}

std::vector<WhisperSegment>
WindowRecognizer::inLanguage(const Window& window, ChannelLanguage& language, EngineStats& stats) {
    const auto& audio = window.audio;
    const auto& speech = window.speech;
    if (listed_.size() < 2)
        return transcribe(audio, language_, vocabulary_ + context(window));
    if (!speech || speech->empty() || window.behind)
        return transcribe(audio, language.spoken.value_or(listed_.front()),
                          vocabulary_ + context(window));

    auto runs = languageRuns(window, language, stats);
    // The first run carries on from the channel's last line when it keeps its language;
    // runs next to each other always differ in language, so no later one does.
    bool continues = runs.front().language == language.text;
    std::string firstPrompt = vocabulary_ + (continues ? context(window) : "");
    std::vector<WhisperSegment> lines;
    if (runs.size() == 1) {
        lines = transcribe(audio, runs.front().language, firstPrompt);
    } else {
        double duration = seconds(audio.size());
        for (size_t k = 0; k < runs.size(); ++k) {
            double from = k == 0 ? 0 : (runs[k - 1].end + runs[k].start) / 2;
            double to = k + 1 == runs.size() ? duration : (runs[k].end + runs[k + 1].start) / 2;
            size_t first = sampleIndex(from, audio.size());
            size_t last = std::max(first, sampleIndex(to, audio.size()));
            // Times of a run's slice count from where the slice begins.
            for (auto& segment : transcribe(audio.subspan(first, last - first), runs[k].language,
                                            k == 0 ? firstPrompt : vocabulary_))
                lines.push_back(segment.shifted(from));
        }
    }
    language.text = runs.back().language;
    return lines;
}

std::vector<WindowRecognizer::LanguageRun> WindowRecognizer::languageRuns(const Window& window,
                                                                          ChannelLanguage& language,
                                                                          EngineStats& stats) {
    const auto& audio = window.audio;
    std::vector<LanguageRun> runs;
    for (const auto& piece : ChunkCommitter::languagePieces(*window.speech)) {
        std::string lang = language.spoken.value_or(listed_.front());
        if (piece.end - piece.start >= 1) {
            size_t from = sampleIndex(piece.start, audio.size());
            size_t to = std::max(from, sampleIndex(piece.end, audio.size()));
            lang = ChunkCommitter::language(probabilities(audio.subspan(from, to - from)), lang,
                                            listed_);
        }
        if (lang != language.spoken) {
            if (language.spoken)
                ++stats.languageSwitches;
            Log::info("{} language: {}", window.channel, lang);
            language.spoken = lang;
            stats.language = lang;
        }
        if (!runs.empty() && runs.back().language == lang)
            runs.back().end = piece.end;
        else
            runs.push_back({piece.start, piece.end, lang});
    }
    return runs;
}

void WindowRecognizer::fillHoles(const Window& window, const ChannelLanguage& language,
                                 std::vector<WhisperSegment>& lines, EngineStats& stats) {
    const auto& audio = window.audio;
    const std::string holeLanguage =
        listed_.size() < 2 ? language_ : language.spoken.value_or(listed_.front());
    for (const auto& hole : ChunkCommitter::holes(lines, *window.speech)) {
        size_t from = sampleIndex(hole.start, SIZE_MAX);
        size_t to = std::min(audio.size(), sampleIndex(hole.end, SIZE_MAX));
        if (from >= to)
            continue;
        // Lines filled into earlier holes count too.
        std::string nearby;
        for (const auto& line : lines) {
            if (line.end > hole.start - holeNeighbourhood &&
                line.start < hole.end + holeNeighbourhood)
                nearby += (nearby.empty() ? "" : " ") + line.text;
        }
        bool kept = false;
        for (const auto& found :
             transcribe(audio.subspan(from, to - from), holeLanguage, vocabulary_)) {
            if (Dedup::repeats(found.text, nearby))
                continue;
            lines.push_back(found.shifted(hole.start));
            kept = true;
        }
        if (kept)
            ++stats.holesFilled;
        stats.holeSeconds += hole.end - hole.start;
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const auto& a, const auto& b) { return a.start < b.start; });
}

} // namespace tallyvox

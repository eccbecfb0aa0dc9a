#include "session/EngineSettings.h"

#include "base/Log.h"
#include "transcription/PromptText.h"
#include "transcription/WhisperContext.h"
#include "transcripts/WordFix.h"

#include <algorithm>
#include <array>
#include <fstream>

namespace tallyvox::SessionSettings {

// Read through the stores' own accessors; this folder only adds what a session needs of them.
using namespace SettingsManager;

std::string checkedLanguage(const std::optional<std::string>& language) {
    if (!language)
        return std::string(defaultLanguage);
    if (*language == "auto")
        return *language;
    bool anyPiece = false;
    size_t start = 0;
    while (start <= language->size()) {
        size_t end = std::min(language->find('+', start), language->size());
        std::string piece = language->substr(start, end - start);
        if (!piece.empty()) {
            if (!whisperKnowsLanguage(piece))
                return std::string(defaultLanguage);
            anyPiece = true;
        }
        start = end + 1;
    }
    // An empty setting would leave the recogniser without any language to use.
    return anyPiece ? *language : std::string(defaultLanguage);
}

EngineOptions transcriptionOptions(const SettingsStores& stores) {
    UserDefaults& defaults = stores.defaults;
    EngineOptions options;
    options.model = model(stores);
    auto language = defaults.object(Key::language);
    options.language = checkedLanguage(language ? language->stringValue() : std::nullopt);
    options.chunkSeconds = EngineOptions::clampedChunk(defaults.doubleValue(Key::chunkSeconds));
    // One stored before the limit, or written by hand, is read only as far as the limit.
    options.vocabulary =
        WordFix::prompt(PromptText::firstCharacters(defaults.stringValue(Key::vocabulary),
                                                    PromptText::vocabularyCharacters),
                        learnedWords(stores));
    options.diarize = defaults.boolValue(Key::diarize);
    return options;
}

std::optional<std::string> modelFileProblem(const std::filesystem::path& file) {
    std::error_code error;
    const auto status = std::filesystem::status(file, error);
    if (!std::filesystem::exists(status))
        return "No Whisper model file at " + file.string() + ".";
    if (!std::filesystem::is_regular_file(status))
        return file.string() + " is not a file, so not a Whisper model.";
    std::ifstream in(file, std::ios::binary);
    std::array<char, 4> magic{};
    if (!in)
        return "The Whisper model file " + file.string() + " cannot be read.";
    // ggml's file mark, as whisper.cpp writes it.
    if (!in.read(magic.data(), magic.size()) || std::string_view(magic.data(), 4) != "lmgg")
        return file.string() + " is not a Whisper model file.";
    return std::nullopt;
}

std::optional<std::string> modelProblem(const std::optional<std::filesystem::path>& modelFile,
                                        WhisperModel model) {
    if (modelFile) {
        auto problem = modelFileProblem(*modelFile);
        if (problem)
            Log::error("Start refused: {}", *problem);
        return problem;
    }
    if (model.isDownloaded())
        return std::nullopt;
    Log::error("Start refused: Whisper {} model not downloaded", model.rawValue());
    return "Download the Whisper " + std::string(model.title()) + " model first.";
}

} // namespace tallyvox::SessionSettings

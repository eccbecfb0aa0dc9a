#pragma once

#include "transcription/Recognizer.h"
#include "types/EngineTypes.h"

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvox {

// The engine's recogniser, one window at a time: speech finding, then recognition in the
// channel's language (by language runs when several are listed), with the end of the
// channel's last line as context, then re-listening to stretches of speech that nothing
// covered ("holes"). A window whose prompt the recogniser fails on is heard again without
// it. Recogniser calls that fail are logged and read as "nothing heard", so
// the engine still consumes the audio and goes on. Used on the engine queue only.
class WindowRecognizer {
public:
    // What a channel carries from one window to the next.
    struct ChannelLanguage {
        std::optional<std::string> spoken; // the language the channel speaks now
        std::optional<std::string> text;   // the language of its last recognised text
    };

    struct Window {
        std::span<const float> audio;
        const std::optional<std::vector<SpeechRange>>& speech;
        // The channel's last committed line; none at its start.
        std::optional<std::string_view> lastLine;
        // Far behind the audio: no language detection, the channel's language goes on.
        bool behind = false;
        std::string_view channel; // for the log
    };

    WindowRecognizer(std::unique_ptr<Recognizer> recognizer, const EngineOptions& options);

    // Speech ranges in seconds of `audio`; nothing when no detector is loaded or it failed.
    std::optional<std::vector<SpeechRange>> speech(std::span<const float> audio);
    // The window's lines in its own seconds, sorted by start where holes were filled.
    // Language switches and filled holes count in `stats`.
    std::vector<WhisperSegment> recognise(const Window& window, ChannelLanguage& language,
                                          EngineStats& stats);

private:
    struct LanguageRun {
        double start, end;
        std::string language;
    };

    std::vector<WhisperSegment> inLanguage(const Window& window, ChannelLanguage& language,
                                           EngineStats& stats);
    std::vector<LanguageRun> languageRuns(const Window& window, ChannelLanguage& language,
                                          EngineStats& stats);
    void fillHoles(const Window& window, const ChannelLanguage& language,
                   std::vector<WhisperSegment>& lines, EngineStats& stats);
    std::string context(const Window& window) const;

    std::vector<WhisperSegment> transcribe(std::span<const float> audio,
                                           const std::string& language, const std::string& prompt);
    std::map<std::string, float> probabilities(std::span<const float> audio);

    std::unique_ptr<Recognizer> recognizer_;
    // As set: a code, "auto", or codes joined by "+"; used as it is with fewer than two.
    std::string language_;
    std::vector<std::string> listed_; // the first is the main language
    std::string vocabulary_;
    bool promptFailed_ = false;
};

} // namespace tallyvox

#pragma once

#include "types/WhisperModel.h"

#include <optional>
#include <string>

namespace tallyvox {

// The running session's recogniser is slower than the meeting: how much audio waits, a
// clearly faster model when there is one, and what else the user could turn off.
struct FallingBehind {
    double waitingSeconds = 0;
    std::optional<WhisperModel> faster;
    // `faster` is predicted to keep up on this computer; else it only helps.
    bool fasterKeepsUp = false;
    bool micOn = false;
    bool speakersOn = false;
    // Said by the headless mode: settings change with tallyvox-cli, not a window.
    bool commandLine = false;

    bool operator==(const FallingBehind&) const = default;

    // The line for the command line and the panel.
    std::string text() const;
    // The notification's body.
    std::string advice() const;
    static constexpr const char* title = "Transcription is falling behind";

private:
    std::string choose() const;
    std::string lighten() const;
};

} // namespace tallyvox

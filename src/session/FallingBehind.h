#pragma once

#include "types/WhisperModel.h"

#include <optional>
#include <string>

namespace tallyvox {

// The running session's recogniser is slower than the meeting: how much audio waits, and a
// model predicted to keep up on this computer, when there is a faster one.
struct FallingBehind {
    double waitingSeconds = 0;
    std::optional<WhisperModel> faster;

    bool operator==(const FallingBehind&) const = default;

    // The line for the command line and the panel.
    std::string text() const;
    // The notification's body.
    std::string advice() const;
    static constexpr const char* title = "Transcription is falling behind";
};

} // namespace tallyvox

#pragma once

#include "types/WhisperModel.h"

#include <string>

namespace tallyvox {

// What a session's engine runs with; taken once from the settings when the session starts.
struct EngineOptions {
    // The one range of the window length ("chunk"), for settings, the command line and the
    // engine alike.
    static constexpr double minChunkSeconds = 5;
    static constexpr double maxChunkSeconds = 28;
    static constexpr double defaultChunkSeconds = 20;

    WhisperModel model = WhisperModel::small;
    std::string language = "en+hi"; // a code, "auto", or codes joined by "+" (first is main)
    double chunkSeconds = defaultChunkSeconds;
    std::string vocabulary;
    bool diarize = true;

    // Throws Error naming the first value out of its range, in words for the user.
    void validate() const;
    // A stored window length brought into range (not a number: the shortest).
    static double clampedChunk(double seconds);

    bool operator==(const EngineOptions&) const = default;
};

// Per-channel engine counters, read by the diagnostics report.
struct EngineStats {
    double receivedSeconds = 0;
    double processedSeconds = 0;
    double speechSeconds = 0;
    int windows = 0;
    double whisperSeconds = 0;
    double speakerSeconds = 0;
    double maxPendingSeconds = 0;
    int segments = 0;
    int wordsTrimmedAsRepeats = 0;
    int echoDropped = 0;
    int holesFilled = 0;
    double holeSeconds = 0;
    int phantomDropped = 0;
    int languageSwitches = 0;
    std::string language;

    bool operator==(const EngineStats&) const = default;
};

} // namespace tallyvox

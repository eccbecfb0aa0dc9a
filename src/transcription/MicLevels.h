#pragma once

#include "types/WhisperSegment.h"

#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace tallyvox::MicLevels {

using Run = std::pair<WhisperSegment, float>;

// Loudness (RMS) of the stretch's own audio in the window; 0 when there is none.
float level(SpeechRange stretch, std::span<const float> audio,
            const std::optional<std::vector<SpeechRange>>& speech);

// The element at count / 2 of the sorted levels; 0 for none.
float median(std::vector<float> levels);

// Splits a microphone line where the voice turns into a much quieter leak (or back), so
// someone else heard through the microphone does not join the user's own words.
std::vector<Run> levelRuns(const WhisperSegment& segment, const std::vector<float>& levels);

// A microphone line as runs of even loudness, each with its level.
std::vector<Run> micRuns(const WhisperSegment& segment, std::span<const float> audio,
                         const std::optional<std::vector<SpeechRange>>& speech);

} // namespace tallyvox::MicLevels

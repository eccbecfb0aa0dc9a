#pragma once

#include "types/WhisperSegment.h"

#include <optional>
#include <span>
#include <vector>

namespace tallyvox {

// The samples of `span` (window seconds) that carry its own voice: only the detected speech
// inside it when the detector found any there, else the whole span. Clamped to the buffer.
std::vector<float> ownAudio(std::span<const float> samples, SpeechRange span,
                            const std::optional<std::vector<SpeechRange>>& speech);

} // namespace tallyvox

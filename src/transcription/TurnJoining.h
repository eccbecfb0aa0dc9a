#pragma once

#include "types/TranscriptSegment.h"

#include <optional>
#include <vector>

namespace tallyvox {

// Two microphone stretches of which one is much quieter than the other: a leak beside a
// voice, which must stay separate lines.
bool leakAndVoice(std::optional<float> a, std::optional<float> b);

// Where the live view starts a new speaker heading.
bool startsTurn(const TranscriptSegment& segment, const TranscriptSegment* previous);

// Lines of one speaker less than a second apart become one line.
std::vector<TranscriptSegment> joinTurns(const std::vector<TranscriptSegment>& lines);

} // namespace tallyvox

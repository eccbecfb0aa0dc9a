#pragma once

#include "types/TranscriptSegment.h"

#include <vector>

namespace tallyvox::CleanupFilters {

// A microphone stretch quieter than this share of the user's own voice is someone else
// leaking into the microphone.
inline constexpr float leakRatio = 0.3f;

// Drops microphone lines that only repeat meeting lines heard at the same time.
std::vector<TranscriptSegment> withoutEchoes(const std::vector<TranscriptSegment>& segments);
// Drops microphone lines much quieter than the user's typical speaking level.
std::vector<TranscriptSegment> withoutLeakage(const std::vector<TranscriptSegment>& segments);

} // namespace tallyvox::CleanupFilters

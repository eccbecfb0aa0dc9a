#pragma once

#include "types/TranscriptSegment.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvox::Dedup {

// The text split at single spaces, empty pieces dropped, spelling kept.
std::vector<std::string> words(std::string_view text);
// Letters, marks and digits of any script, case-folded ("Don't," -> "dont", "Über" and
// "über" alike, "।" and "—" nothing).
std::string norm(std::string_view word);
// The normalised words that are not empty.
std::vector<std::string> significantWords(std::string_view text);

// `next` without its first words when they repeat the end of `previous`. A single repeated
// word is only trimmed when the two lines overlap in time.
std::string trimOverlap(std::string_view previous, std::string_view next, bool timeOverlap);

// Whether a new line may repeat the previous one: it starts within 2 s of its end and
// the speakers do not contradict each other.
bool mayRepeat(double start, std::optional<int> speaker, const TranscriptSegment& after);

// Whether `text` (5 significant words or more) is mostly the same words as `other`.
bool isEcho(std::string_view text, std::string_view other);

// Whether a microphone line from t0 to t1 echoes meeting lines around that time.
bool echoes(std::string_view text, double from, double to,
            const std::vector<TranscriptSegment>& lines);

// Whether re-listened text only repeats what `context` already says.
bool repeats(std::string_view text, std::string_view context);

} // namespace tallyvox::Dedup

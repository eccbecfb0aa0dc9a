#pragma once

#include "types/WhisperSegment.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox::ChunkCommitter {

inline constexpr double window = 30.0;
inline constexpr double maxPending = 28.0;
inline constexpr double edgeMargin = 1.0;
inline constexpr double overlap = 0.3;
inline constexpr double keepTail = 0.5;
inline constexpr double longSpeech = 12.0;
inline constexpr double reHear = 10.0;
inline constexpr double hole = 3.0;
inline constexpr double languagePiece = 5.0;

struct Split {
    std::vector<WhisperSegment> commit;
    double cut = 0;
};

// Which segments of a window are final, and where the window is cut: audio before the cut
// is consumed, audio after it is heard again in the next window. `speech` is nothing when
// no voice-activity detector is loaded.
Split split(const std::vector<WhisperSegment>& segments,
            const std::optional<std::vector<SpeechRange>>& speech, double duration, bool final);

// Detected speech of at least `hole` seconds that no recognised segment covers.
std::vector<SpeechRange> holes(const std::vector<WhisperSegment>& segments,
                               const std::vector<SpeechRange>& speech);

// Speech cut into pieces of about `languagePiece` seconds for language detection.
std::vector<SpeechRange> languagePieces(const std::vector<SpeechRange>& speech);

// The language to continue in: switching to the main (first) language needs a margin of
// 0.1, switching away from it 0.3.
std::string language(const std::map<std::string, float>& probabilities, const std::string& current,
                     const std::vector<std::string>& among);

} // namespace tallyvox::ChunkCommitter

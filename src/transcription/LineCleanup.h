#pragma once

#include "types/EngineTypes.h"
#include "types/TranscriptSegment.h"
#include "types/WhisperSegment.h"

#include <functional>
#include <optional>
#include <vector>

namespace tallyvox::LineCleanup {

// Why a recognised line never reaches the transcript.
enum class Drop {
    empty,   // nothing left once the words repeating the last line were trimmed
    phantom, // words the recogniser makes up from silence or noise
    echo,    // the meeting heard again through the microphone
};

// A line of one window as recognition and labelling left it, in the window's seconds.
struct Candidate {
    WhisperSegment segment;
    std::optional<int> speaker;
    std::optional<float> level; // microphone lines only
};

struct Window {
    double start = 0;    // on the session's timeline
    double duration = 0; // no line ends after it
    // Asked for each microphone line that nothing else dropped: whether echoes go now.
    // Empty for every other source.
    std::function<bool()> dropEcho;
};

// The window's lines on the session's timeline, on one line each, without the words that
// repeat the channel's last line, phantoms and echoes of `recent` meeting lines. A line
// without a speaker continues the one before it. `last` follows every kept line; trimmed
// words and drops count in `stats`.
std::vector<TranscriptSegment> clean(std::vector<Candidate> candidates, const Window& window,
                                     const std::vector<TranscriptSegment>& recent,
                                     std::optional<TranscriptSegment>& last, EngineStats& stats);

} // namespace tallyvox::LineCleanup

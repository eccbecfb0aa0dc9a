#pragma once

#include "types/WhisperSegment.h"

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace tallyvox {

// Gives the lines of one window anonymous speaker numbers (and may split long lines
// where the voice changes).
class Diarizer {
public:
    using Labelled = std::vector<std::pair<WhisperSegment, std::optional<int>>>;

    virtual ~Diarizer() = default;
    virtual Labelled label(const std::vector<WhisperSegment>& segments,
                           std::span<const float> audio,
                           const std::optional<std::vector<SpeechRange>>& speech,
                           bool cutLongLines) = 0;
};

// Loads the speaker models; throws tallyvox::Error when they cannot be loaded.
using DiarizerLoader = std::function<std::unique_ptr<Diarizer>()>;

} // namespace tallyvox

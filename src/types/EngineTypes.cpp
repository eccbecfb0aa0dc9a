#include "types/EngineTypes.h"

#include "base/Error.h"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>

namespace tallyvox {

void EngineOptions::validate() const {
    if (!(chunkSeconds >= minChunkSeconds && chunkSeconds <= maxChunkSeconds))
        throw Error(
            fmt::format("chunkSeconds is between {} and {}.", minChunkSeconds, maxChunkSeconds));
}

double EngineOptions::clampedChunk(double seconds) {
    return std::isnan(seconds) ? minChunkSeconds
                               : std::clamp(seconds, minChunkSeconds, maxChunkSeconds);
}

} // namespace tallyvox

#pragma once

#include "types/MachineSpeed.h"

#include <filesystem>
#include <functional>
#include <optional>

namespace tallyvox::SpeedProbe {

// Times the recogniser's main kind of work on this machine: ggml multiplying a matrix of
// half-precision weights by one of audio features, on the recogniser's threads, the best of
// a few runs. Takes a fraction of a second.
MachineSpeed measure(int threads);

// The kept figure for this processor and thread count; measured afresh when there is none or
// it is a day old, keeping the better of the two (a cache that cannot be written is only
// logged). Nothing when there is no figure and measuring fails.
std::optional<MachineSpeed>
machineSpeed(const std::filesystem::path& cache = MachineSpeed::cacheFile(),
             const std::function<MachineSpeed(int threads)>& measurement = measure);

} // namespace tallyvox::SpeedProbe

#pragma once

#include "transcription/ComputeDevice.h"
#include "types/MachineSpeed.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace tallyvox::SpeedProbe {

// Times the recogniser's main kind of work on this machine: ggml multiplying a matrix of
// half-precision weights by one of audio features, on the recogniser's threads, the median
// of a few runs: one run slowed or sped up by the rest of the machine moves it little. Takes
// a fraction of a second. On `device`, the one recognition uses; its threads count only for
// the processor.
MachineSpeed measure(int threads, const ComputeDevice& device = ComputeDevices::processor());

// The middle value (the mean of the middle two of an even count); 0 for none.
double median(std::vector<double> values);

// The kept figure for the device recognition uses (`device`, else the processor) and thread
// count; measured afresh (by `measurement`, else measure() on the device)
// when there is none or it is a day old, keeping the better of the two (a cache that cannot
// be written is only logged). Nothing when there is no figure and measuring fails.
std::optional<MachineSpeed>
machineSpeed(const std::filesystem::path& cache = MachineSpeed::cacheFile(),
             const std::function<MachineSpeed(int threads)>& measurement = {},
             const std::optional<ComputeDevice>& device = std::nullopt);

} // namespace tallyvox::SpeedProbe

#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace tallyvox::UsableProcessors {

// How many processors this process may really use: the CPUs of its affinity mask (taskset,
// a container's cpuset, systemd's AllowedCPUs), fewer when a cgroup v2 CPU quota of the
// process or one of its ancestors allows less. At least 1.
int count(const std::filesystem::path& ownCgroup = "/proc/self/cgroup",
          const std::filesystem::path& cgroupRoot = "/sys/fs/cgroup");

// Whole processors a cgroup v2 "cpu.max" text allows ("150000 100000" -> 2); nothing for
// "max" (no limit) or text that cannot be read.
std::optional<int> quotaProcessors(std::string_view cpuMax);

} // namespace tallyvox::UsableProcessors

#include "base/UsableProcessors.h"

#include "base/AtomicFile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <sched.h>
#include <string>
#include <unistd.h>

namespace tallyvox::UsableProcessors {

namespace {

int affinityProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0)
        return std::max(CPU_COUNT(&set), 1);
    return static_cast<int>(std::max(::sysconf(_SC_NPROCESSORS_ONLN), 1L));
}

// The process's cgroup v2 path ("0::/user.slice/..."), relative to the cgroup root.
std::optional<std::filesystem::path> unifiedCgroup(const std::filesystem::path& ownCgroup) {
    auto text = readWholeFile(ownCgroup);
    if (!text)
        return std::nullopt;
    std::string_view rest = *text;
    while (!rest.empty()) {
        auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        if (line.starts_with("0::"))
            return std::filesystem::path(line.substr(3)).relative_path();
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    return std::nullopt;
}

} // namespace

std::optional<int> quotaProcessors(std::string_view cpuMax) {
    auto space = cpuMax.find(' ');
    if (space == std::string_view::npos)
        return std::nullopt;
    std::string_view quotaText = cpuMax.substr(0, space);
    std::string_view periodText = cpuMax.substr(space + 1);
    while (!periodText.empty() && (periodText.back() == '\n' || periodText.back() == ' '))
        periodText.remove_suffix(1);
    long long quota = 0, period = 0;
    auto q = std::from_chars(quotaText.data(), quotaText.data() + quotaText.size(), quota);
    auto p = std::from_chars(periodText.data(), periodText.data() + periodText.size(), period);
    if (q.ec != std::errc() || p.ec != std::errc() || quota <= 0 || period <= 0)
        return std::nullopt;
    // Half a processor still runs one thread: round up.
    double processors = std::ceil(static_cast<double>(quota) / static_cast<double>(period));
    return static_cast<int>(std::clamp(processors, 1.0, 1.0e6));
}

int count(const std::filesystem::path& ownCgroup, const std::filesystem::path& cgroupRoot) {
    int usable = affinityProcessors();
    auto group = unifiedCgroup(ownCgroup);
    if (!group)
        return usable;
    // A quota anywhere up the tree limits everything below it.
    for (std::filesystem::path folder = cgroupRoot / *group;; folder = folder.parent_path()) {
        if (auto text = readWholeFile(folder / "cpu.max"))
            if (auto allowed = quotaProcessors(*text))
                usable = std::min(usable, *allowed);
        if (folder == cgroupRoot || !folder.has_relative_path() || folder.parent_path() == folder)
            break;
    }
    return std::max(usable, 1);
}

} // namespace tallyvox::UsableProcessors

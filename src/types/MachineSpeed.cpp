#include "types/MachineSpeed.h"

#include "base/AtomicFile.h"
#include "base/BoundedRead.h"
#include "base/Error.h"
#include "base/UsableProcessors.h"
#include "base/XdgPaths.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <sstream>

namespace tallyvox {

namespace {

// Three short lines; anything far longer is not the cache this app wrote.
constexpr std::uint64_t maxCacheBytes = 4096;
// Several kilobytes per processor; far more than any machine lists.
constexpr std::uint64_t maxCpuinfoBytes = std::uint64_t{16} * 1024 * 1024;

std::string trimmed(const std::string& text) {
    size_t from = text.find_first_not_of(" \t");
    size_t to = text.find_last_not_of(" \t\r");
    return from == std::string::npos ? std::string() : text.substr(from, to - from + 1);
}

} // namespace

std::filesystem::path MachineSpeed::cacheFile() {
    return XdgPaths::cacheHome() / "Tallyvox" / "machine-speed";
}

// Three lines: the figure, the threads, the processor. A cache, so anything unexpected in
// it only means measuring again.
std::optional<MachineSpeed> MachineSpeed::cached(const std::string& cpu, int threads,
                                                 const std::filesystem::path& file) {
    auto content = tryReadFileBounded(file, maxCacheBytes);
    if (!content)
        return std::nullopt;
    std::istringstream lines(*content);
    std::string gflops, count, name;
    if (!std::getline(lines, gflops) || !std::getline(lines, count) || !std::getline(lines, name))
        return std::nullopt;
    MachineSpeed speed;
    speed.cpu = name;
    try {
        size_t used = 0;
        speed.gflops = std::stod(gflops, &used);
        if (used != gflops.size())
            return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    auto [end, error] = std::from_chars(count.data(), count.data() + count.size(), speed.threads);
    if (error != std::errc() || end != count.data() + count.size())
        return std::nullopt;
    if (!std::isfinite(speed.gflops) || speed.gflops <= 0 || speed.threads != threads ||
        speed.cpu != cpu)
        return std::nullopt;
    return speed;
}

void MachineSpeed::store(const std::filesystem::path& file) const {
    std::ostringstream text;
    text.precision(6);
    text << gflops << '\n' << threads << '\n' << cpu << '\n';
    writeFileAtomically(file, text.str());
}

std::string MachineSpeed::processorName(const std::filesystem::path& cpuinfo) {
    std::istringstream in(tryReadFileBounded(cpuinfo, maxCpuinfoBytes).value_or(""));
    std::string line;
    while (std::getline(in, line)) {
        auto colon = line.find(':');
        if (colon != std::string::npos && trimmed(line.substr(0, colon)) == "model name") {
            auto name = trimmed(line.substr(colon + 1));
            if (!name.empty())
                return name;
        }
    }
    return "unknown";
}

} // namespace tallyvox

namespace tallyvox {

int MachineSpeed::recognizerThreads(long processors) {
    // Never more threads than processors to run them: two on one CPU took 6.4 times as long.
    return static_cast<int>(
        std::min(std::clamp<long>(processors - 2, 2, 6), std::max(processors, 1L)));
}

std::optional<MachineSpeed> MachineSpeed::kept(const std::filesystem::path& file) {
    return cached(processorName(), recognizerThreads(UsableProcessors::count()), file);
}

} // namespace tallyvox

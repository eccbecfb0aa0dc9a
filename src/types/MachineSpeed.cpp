#include "types/MachineSpeed.h"

#include "base/AtomicFile.h"
#include "base/BoundedRead.h"
#include "base/Error.h"
#include "base/UsableProcessors.h"
#include "base/XdgPaths.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <mutex>
#include <sstream>
#include <string_view>

namespace tallyvox {

namespace {

// A few short lines; anything far longer is not the cache this app wrote.
constexpr std::uint64_t maxCacheBytes = 4096;
// Several kilobytes per processor; far more than any machine lists.
constexpr std::uint64_t maxCpuinfoBytes = std::uint64_t{16} * 1024 * 1024;

std::string trimmed(const std::string& text) {
    size_t from = text.find_first_not_of(" \t");
    size_t to = text.find_last_not_of(" \t\r");
    return from == std::string::npos ? std::string() : text.substr(from, to - from + 1);
}

// A finite number written with a point whatever the locale: the desktop app runs in the
// user's locale, where strtod would stop at the point and the figure would never be read.
std::optional<double> number(std::string_view text) {
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::string written(double value) {
    char text[32];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : std::string("0");
}

} // namespace

std::filesystem::path MachineSpeed::cacheFile() {
    return XdgPaths::cacheHome() / "Tallyvox" / "machine-speed";
}

// Three lines: the figure, the threads, the processor; then one line for each measured
// model ("base 0.31") and for speaker labelling ("speakers 0.29"). A cache, so anything
// unexpected in it only means measuring again; a line it does not know is passed over, so
// older versions read the first three lines of a newer file.
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
    auto figure = number(gflops);
    if (!figure)
        return std::nullopt;
    speed.gflops = *figure;
    auto [end, error] = std::from_chars(count.data(), count.data() + count.size(), speed.threads);
    if (error != std::errc() || end != count.data() + count.size())
        return std::nullopt;
    if (speed.gflops <= 0 || speed.threads != threads || speed.cpu != cpu)
        return std::nullopt;
    std::string line;
    while (std::getline(lines, line)) {
        auto space = line.find(' ');
        if (space == std::string::npos)
            continue;
        auto factor = number(std::string_view(line).substr(space + 1));
        if (!factor || *factor < 0)
            continue;
        auto key = line.substr(0, space);
        if (key == "speakers")
            speed.speakers = *factor;
        else
            speed.recognition[key] = *factor;
    }
    return speed;
}

void MachineSpeed::store(const std::filesystem::path& file) const {
    std::string text = written(gflops) + '\n' + std::to_string(threads) + '\n' + cpu + '\n';
    for (const auto& [model, factor] : recognition)
        text += model + ' ' + written(factor) + '\n';
    if (speakers)
        text += "speakers " + written(*speakers) + '\n';
    writeFileAtomically(file, text);
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

namespace {

std::mutex deviceGuard;
std::string chosenDevice;

} // namespace

std::string MachineSpeed::deviceInUse() {
    {
        std::lock_guard lock(deviceGuard);
        if (!chosenDevice.empty())
            return chosenDevice;
    }
    return processorName();
}

std::string MachineSpeed::keyOf(const std::string& device) {
    constexpr std::string_view processor = "CPU: ";
    return device.starts_with(processor) ? device.substr(processor.size()) : device;
}

void MachineSpeed::useDevice(std::string key) {
    std::lock_guard lock(deviceGuard);
    chosenDevice = std::move(key);
}

std::optional<MachineSpeed> MachineSpeed::kept(const std::filesystem::path& file) {
    return cached(deviceInUse(), recognizerThreads(UsableProcessors::count()), file);
}

} // namespace tallyvox

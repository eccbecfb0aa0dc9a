#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace tallyvox {

// How fast this computer multiplies the recogniser's matrices, measured once by the speed
// probe and kept, so the model choice follows the machine rather than its memory alone; and
// what its sessions really cost, which replaces the probe's prediction for the models used.
struct MachineSpeed {
    double gflops = 0; // billions of floating-point operations a second
    int threads = 0;   // the recogniser's threads it was measured with
    // The device recognition computed on: the processor's model name, or a graphics
    // processor's ("Vulkan: <device>"); a figure of another one is not used.
    std::string cpu;
    // Seconds of recognition per second of one stream's audio, measured over the last
    // session with each model, by the model's raw name.
    std::map<std::string, double> recognition{};
    // Seconds of speaker labelling per second of meeting audio, measured over the last
    // session that labelled speakers.
    std::optional<double> speakers{};

    bool operator==(const MachineSpeed&) const = default;

    // $XDG_CACHE_HOME/Tallyvox/machine-speed
    static std::filesystem::path cacheFile();
    // The kept figure when it was measured on this processor with these threads; nothing
    // when absent, unreadable, damaged or from other hardware. Read the same way in every
    // locale.
    static std::optional<MachineSpeed> cached(const std::string& cpu, int threads,
                                              const std::filesystem::path& file = cacheFile());
    // Throws tallyvox::Error when the file cannot be written.
    void store(const std::filesystem::path& file = cacheFile()) const;

    // The first "model name" of /proc/cpuinfo, or "unknown".
    static std::string processorName(const std::filesystem::path& cpuinfo = "/proc/cpuinfo");
    // The recogniser's threads for this many usable processors: two fewer, kept between 2
    // and 6, never more than the processors.
    static int recognizerThreads(long processors);
    // The kept figure of the device in use with the threads this process would use.
    static std::optional<MachineSpeed> kept(const std::filesystem::path& file = cacheFile());
    // The device recognition computes on, as `cpu` names it: the processor until the
    // recogniser says otherwise (useDevice) once it has chosen, so a graphics processor's
    // figure never predicts the processor, nor the other way round.
    static std::string deviceInUse();
    // The key of a device as the recogniser names it: "CPU: <processor>" is kept under the
    // processor's name alone (as before graphics processors were used), any other as named.
    static std::string keyOf(const std::string& device);
    static void useDevice(std::string key);
};

} // namespace tallyvox

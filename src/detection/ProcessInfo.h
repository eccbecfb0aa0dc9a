#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

// What the system says about a process and the files it runs. Every answer may be
// missing: the process may have gone, or belong to someone else.
class ProcessInfo {
public:
    struct FileFacts {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::uint32_t owner = 0; // uid
        std::uint32_t mode = 0;  // st_mode, type bits included
        bool operator==(const FileFacts&) const = default;
    };

    virtual ~ProcessInfo() = default;

    // Exists and is not a zombie.
    virtual bool isAlive(std::int32_t pid) = 0;
    virtual std::optional<std::int32_t> parent(std::int32_t pid) = 0;
    // Start time in clock ticks since boot: tells a reused pid from its predecessor.
    virtual std::optional<std::uint64_t> startTime(std::int32_t pid) = 0;
    // Where /proc/PID/exe points, as the kernel names it.
    virtual std::optional<std::string> executable(std::int32_t pid) = 0;
    // The file the process really runs (stat through /proc/PID/exe).
    virtual std::optional<FileFacts> executableFile(std::int32_t pid) = 0;
    // lstat of a path in our own view of the file system.
    virtual std::optional<FileFacts> fileFacts(const std::string& path) = 0;
    // Packages that installed the path, as the package database says; nothing when it could
    // not answer (busy, broken, too slow). May take seconds: never ask on the main thread.
    virtual std::optional<std::vector<std::string>> owningPackages(const std::string& path) = 0;
    // The text of /proc/PID/cgroup.
    virtual std::optional<std::string> cgroup(std::int32_t pid) = 0;
    // The text of /proc/PID/root/.flatpak-info: present only inside a flatpak sandbox.
    virtual std::optional<std::string> flatpakInfo(std::int32_t pid) = 0;
    // Every running process.
    virtual std::vector<std::int32_t> processIds() = 0;
    // The process's ids in each pid namespace it lives in, ours first, its own last (NSpid).
    virtual std::vector<std::int32_t> namespacePids(std::int32_t pid) = 0;
    // The user it runs as (the real uid of its status file).
    virtual std::optional<std::uint32_t> userId(std::int32_t pid) = 0;
};

} // namespace tallyvox

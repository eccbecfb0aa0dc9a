#pragma once

#include "detection/ProcessInfo.h"

#include <chrono>
#include <string>

namespace tallyvox {

// ProcessInfo from /proc, lstat and the Debian package database.
class ProcFs : public ProcessInfo {
public:
    explicit ProcFs(std::string procRoot = "/proc");

    bool isAlive(std::int32_t pid) override;
    std::optional<std::int32_t> parent(std::int32_t pid) override;
    std::optional<std::uint64_t> startTime(std::int32_t pid) override;
    std::optional<std::string> executable(std::int32_t pid) override;
    std::optional<FileFacts> executableFile(std::int32_t pid) override;
    std::optional<FileFacts> fileFacts(const std::string& path) override;
    std::optional<std::vector<std::string>> owningPackages(const std::string& path) override;
    std::optional<std::string> cgroup(std::int32_t pid) override;
    std::optional<std::string> flatpakInfo(std::int32_t pid) override;
    std::vector<std::int32_t> processIds() override;
    std::vector<std::int32_t> namespacePids(std::int32_t pid) override;
    std::optional<std::uint32_t> userId(std::int32_t pid) override;

    // When the process started by the wall clock: its start in clock ticks after boot (stat
    // field 22) added to the boot time of /proc/stat. Nothing when either cannot be read.
    std::optional<std::chrono::system_clock::time_point> startedAt(std::int32_t pid);

    // The fields of /proc/PID/stat after the command name: state first, then the parent.
    static std::optional<std::vector<std::string>> statFields(std::string_view stat);
    // The ids of the NSpid line of a /proc/PID/status text.
    static std::vector<std::int32_t> nsPidLine(std::string_view status);
    // The first (real) uid of a status file's "Uid:" line.
    static std::optional<std::uint32_t> uidLine(std::string_view status);
    // The "btime" line of a /proc/stat text: when the system booted, in seconds since the epoch.
    static std::optional<std::int64_t> bootTimeLine(std::string_view stat);
    // Runs "/usr/bin/dpkg-query --search path" without a shell, PATH or any of our environment:
    // its standard output ("" when no package owns the path), or nothing on failure.
    static std::optional<std::string> runDpkgSearch(const std::string& path,
                                                    double timeoutSeconds = 10);

private:
    std::string pidPath(std::int32_t pid, const char* leaf) const;
    std::optional<std::vector<std::string>> stat(std::int32_t pid) const;

    std::string procRoot_;
};

} // namespace tallyvox

#pragma once

#include "detection/ProcessInfo.h"

#include <map>
#include <string>
#include <tuple>

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
    std::vector<std::string> owningPackages(const std::string& path) override;
    std::optional<std::string> cgroup(std::int32_t pid) override;
    std::optional<std::string> flatpakInfo(std::int32_t pid) override;

    // The fields of /proc/PID/stat after the command name: state first, then the parent.
    static std::optional<std::vector<std::string>> statFields(std::string_view stat);
    // Runs "dpkg -S path" without a shell; its standard output, or nothing on failure.
    static std::optional<std::string> runDpkgSearch(const std::string& path,
                                                    double timeoutSeconds = 10);

private:
    std::string pidPath(std::int32_t pid, const char* leaf) const;
    std::optional<std::vector<std::string>> stat(std::int32_t pid) const;

    std::string procRoot_;
    // By path and the file's identity, so a reinstalled file is asked about again.
    std::map<std::tuple<std::string, std::uint64_t, std::uint64_t>, std::vector<std::string>>
        owners_;
};

} // namespace tallyvox

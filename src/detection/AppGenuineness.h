#pragma once

#include "detection/ProcessInfo.h"
#include "types/DetectedMeeting.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvox {

// Where a platform's genuine app may come from.
struct TrustedApp {
    Platform platform = Platform::zoom;
    std::vector<std::string> packages;   // Debian packages owning a system install
    std::vector<std::string> snaps;      // snap names
    std::vector<std::string> flatpaks;   // flatpak app ids
    std::vector<std::string> exactPaths; // any executable at exactly this path counts
};
using TrustList = std::vector<TrustedApp>;

// Stream properties can be claimed by any client, so a meeting counts only when the process
// runs its maker's executable: a locked-down system install owned by the maker's package, the
// maker's snap, or a file of the maker's flatpak in the system installation.
namespace AppGenuineness {

// The makers' own packages, snaps and flatpaks.
TrustList vendors();

struct Verdict {
    bool genuine = false;
    bool undecided = false; // the package database has not answered yet
    std::string reason;     // why not, for the log
};
// The packages that installed a file; nothing while the answer is not known.
using PackageLookup = std::function<std::optional<std::vector<std::string>>(
    const std::string& path, const ProcessInfo::FileFacts& file)>;
Verdict check(std::int32_t pid, Platform platform, const TrustList& trust, ProcessInfo& info,
              const PackageLookup& packages);
// Against the sources of one app (a browser's), whatever its platform.
Verdict check(std::int32_t pid, const TrustedApp& app, ProcessInfo& info,
              const PackageLookup& packages);
// Asks `info` for package owners, waiting for its answer.
Verdict check(std::int32_t pid, Platform platform, const TrustList& trust, ProcessInfo& info);

// The file and every folder above it owned by root and writable by nobody else.
bool isLockedDown(const std::string& path, ProcessInfo& info);
// Package names in "dpkg -S" output ("zoom: /opt/zoom/zoom", "a:amd64, b: /p").
std::vector<std::string> dpkgOwners(std::string_view output);
// The name in "/snap/<name>/...".
std::optional<std::string> snapOfPath(std::string_view path);
// Whether a cgroup path holds a "snap.<name>." unit.
bool cgroupNamesSnap(std::string_view cgroup, std::string_view snap);
// The "name" of the [Application] group of a .flatpak-info file.
std::optional<std::string> flatpakAppID(std::string_view info);

} // namespace AppGenuineness

namespace ProcessTree {
// The app's main process: walks up the parents while they run the same executable.
std::int32_t mainProcess(std::int32_t pid, ProcessInfo& info);
} // namespace ProcessTree

} // namespace tallyvox

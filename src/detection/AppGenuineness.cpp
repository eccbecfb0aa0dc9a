#include "detection/AppGenuineness.h"

#include "base/TextLines.h"
#include "detection/FlatpakDeployment.h"

#include <algorithm>
#include <sys/stat.h>

namespace tallyvox {

namespace {

bool contains(const std::vector<std::string>& list, std::string_view value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

bool sameFile(const ProcessInfo::FileFacts& a, const ProcessInfo::FileFacts& b) {
    return a.device == b.device && a.inode == b.inode;
}

} // namespace

namespace AppGenuineness {

TrustList vendors() {
    return {
        {.platform = Platform::zoom,
         .packages = {"zoom"},
         .snaps = {"zoom-client"},
         .flatpaks = {"us.zoom.Zoom"},
         .exactPaths = {}},
        {.platform = Platform::teams,
         .packages = {"teams-for-linux", "teams"},
         .snaps = {"teams-for-linux"},
         .flatpaks = {"com.github.IsmaelMartinez.teams_for_linux", "com.microsoft.Teams"},
         .exactPaths = {}},
    };
}

bool isLockedDown(const std::string& path, ProcessInfo& info) {
    if (path.empty() || path.front() != '/')
        return false;
    std::string current = path;
    while (true) {
        auto facts = info.fileFacts(current);
        if (!facts || facts->owner != 0 || (facts->mode & (S_IWGRP | S_IWOTH)) != 0)
            return false;
        if (current == "/")
            return true;
        auto slash = current.find_last_of('/');
        current = slash == 0 ? "/" : current.substr(0, slash);
    }
}

std::vector<std::string> dpkgOwners(std::string_view output) {
    std::vector<std::string> owners;
    while (!output.empty()) {
        auto end = output.find('\n');
        auto line = output.substr(0, end);
        output = end == std::string_view::npos ? std::string_view{} : output.substr(end + 1);
        // "diversion by x from: /p" and "diversion by x to: /q" name no owner.
        if (line.starts_with("diversion by "))
            continue;
        auto colon = line.find(": ");
        if (colon == std::string_view::npos)
            continue;
        auto names = line.substr(0, colon);
        while (!names.empty()) {
            auto comma = names.find(',');
            auto name = TextLines::trimmed(names.substr(0, comma));
            names = comma == std::string_view::npos ? std::string_view{} : names.substr(comma + 1);
            name = name.substr(0, name.find(':')); // "zoom:amd64"
            if (!name.empty() && !contains(owners, name))
                owners.emplace_back(name);
        }
    }
    return owners;
}

std::optional<std::string> snapOfPath(std::string_view path) {
    static constexpr std::string_view prefix = "/snap/";
    if (!path.starts_with(prefix))
        return std::nullopt;
    auto rest = path.substr(prefix.size());
    auto slash = rest.find('/');
    if (slash == std::string_view::npos || slash == 0)
        return std::nullopt;
    auto name = rest.substr(0, slash);
    if (name == "." || name == "..")
        return std::nullopt;
    return std::string(name);
}

bool cgroupNamesSnap(std::string_view cgroup, std::string_view snap) {
    if (snap.empty())
        return false;
    std::string unit = "snap." + std::string(snap) + ".";
    for (size_t at = cgroup.find(unit); at != std::string_view::npos;
         at = cgroup.find(unit, at + 1))
        if (at > 0 && cgroup[at - 1] == '/') // a unit name, not the middle of one
            return true;
    return false;
}

std::optional<std::string> flatpakAppID(std::string_view info) {
    return FlatpakDeployment::value(info, "Application", "name");
}

namespace {

// A .flatpak-info file proves nothing: anyone can write one at the root of a mount namespace
// of their own. What counts is that the process runs a file of the maker's deployment in the
// system installation, which only root can change.
Verdict checkFlatpak(const std::vector<const TrustedApp*>& apps, const std::string& exe,
                     const std::optional<ProcessInfo::FileFacts>& running,
                     std::string_view flatpakInfo, ProcessInfo& info) {
    auto appPath = FlatpakDeployment::value(flatpakInfo, "Instance", "app-path");
    if (!appPath)
        return {false, false, "a flatpak that does not say where its app lies"};
    auto id = FlatpakDeployment::systemAppID(*appPath);
    if (!id) {
        if (FlatpakDeployment::isUserInstallation(*appPath))
            return {false, false,
                    "a flatpak of a user installation (" + *appPath +
                        "), which any program of the user can change"};
        return {false, false, "a flatpak from outside the system installation (" + *appPath + ")"};
    }
    bool trusted = std::any_of(apps.begin(), apps.end(),
                               [&](const TrustedApp* app) { return contains(app->flatpaks, *id); });
    if (!trusted)
        return {false, false, "a flatpak (" + *id + ") that is not the maker's"};
    auto host = FlatpakDeployment::hostPath(*appPath, exe);
    auto here = host ? info.fileFacts(*host) : std::nullopt;
    if (!running || !here || !sameFile(*running, *here))
        return {false, false, "a flatpak whose executable " + exe + " is not a file of " + *id};
    if (!AppGenuineness::isLockedDown(*host, info))
        return {false, false, *host + " or a folder above it is not owned by root"};
    return {true, false, {}};
}

// The one rule for every kind of app: the file it runs and where that file came from.
Verdict checkSources(std::int32_t pid, const std::vector<const TrustedApp*>& apps,
                     ProcessInfo& info, const PackageLookup& packages);

} // namespace

Verdict check(std::int32_t pid, Platform platform, const TrustList& trust, ProcessInfo& info) {
    return check(pid, platform, trust, info,
                 [&info](const std::string& path, const ProcessInfo::FileFacts&) {
                     return info.owningPackages(path);
                 });
}

Verdict check(std::int32_t pid, Platform platform, const TrustList& trust, ProcessInfo& info,
              const PackageLookup& packages) {
    std::vector<const TrustedApp*> apps;
    for (const auto& app : trust)
        if (app.platform == platform)
            apps.push_back(&app);
    if (apps.empty())
        return {false, false, "no trusted source for this platform"};
    return checkSources(pid, apps, info, packages);
}

Verdict check(std::int32_t pid, const TrustedApp& app, ProcessInfo& info,
              const PackageLookup& packages) {
    return checkSources(pid, {&app}, info, packages);
}

namespace {

Verdict checkSources(std::int32_t pid, const std::vector<const TrustedApp*>& apps,
                     ProcessInfo& info, const PackageLookup& packages) {

    auto exe = info.executable(pid);
    if (!exe || exe->empty())
        return {false, false, "its executable cannot be read"};

    // Another mount namespace (a sandbox) may show a different file under the same path,
    // so every path rule also checks that the path names the very file being run.
    auto running = info.executableFile(pid);
    auto pathIsRunning = [&] {
        auto here = info.fileFacts(*exe);
        return running && here && sameFile(*running, *here);
    };

    for (const auto* app : apps)
        if (contains(app->exactPaths, *exe) && pathIsRunning())
            return {true, false, {}};

    if (auto flatpak = info.flatpakInfo(pid))
        return checkFlatpak(apps, *exe, running, *flatpak, info);

    if (exe->ends_with(" (deleted)"))
        return {false, false, "its executable was deleted or replaced"};
    if (!pathIsRunning())
        return {false, false, "it does not run the file at " + *exe};
    if (!isLockedDown(*exe, info))
        return {false, false,
                *exe + " or a folder above it is not owned by root or writable by others"};

    if (auto snap = snapOfPath(*exe)) {
        bool trusted = std::any_of(apps.begin(), apps.end(), [&](const TrustedApp* app) {
            return contains(app->snaps, *snap);
        });
        if (!trusted)
            return {false, false, "snap " + *snap + " is not the maker's"};
        auto cgroup = info.cgroup(pid);
        if (!cgroup || !cgroupNamesSnap(*cgroup, *snap))
            return {false, false, "it does not run confined as snap " + *snap};
        return {true, false, {}};
    }

    if (exe->starts_with("/usr/") || exe->starts_with("/opt/")) {
        auto owners = packages(*exe, *running);
        if (!owners)
            return {false, true, "the package database has not said who installed " + *exe};
        for (const auto& owner : *owners)
            for (const auto* app : apps)
                if (contains(app->packages, owner))
                    return {true, false, {}};
        return {false, false, *exe + " is not installed by the maker's package"};
    }
    return {false, false, *exe + " is not a system, snap or flatpak install"};
}

} // namespace

} // namespace AppGenuineness

namespace ProcessTree {

std::int32_t mainProcess(std::int32_t pid, ProcessInfo& info) {
    auto exe = info.executable(pid);
    if (!exe)
        return pid;
    std::int32_t current = pid;
    for (int depth = 0; depth < 64; ++depth) {
        auto parent = info.parent(current);
        if (!parent || *parent <= 1 || *parent == current)
            break;
        if (info.executable(*parent) != exe)
            break;
        current = *parent;
    }
    return current;
}

} // namespace ProcessTree

} // namespace tallyvox

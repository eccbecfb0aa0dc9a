#include "detection/AppGenuineness.h"

#include <algorithm>
#include <sys/stat.h>

namespace tallyvox {

namespace {

bool contains(const std::vector<std::string>& list, std::string_view value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

std::string_view trim(std::string_view text) {
    auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool sameFile(const ProcessInfo::FileFacts& a, const ProcessInfo::FileFacts& b) {
    return a.device == b.device && a.inode == b.inode;
}

} // namespace

namespace AppGenuineness {

TrustList vendors() {
    return {
        {Platform::zoom, {"zoom"}, {"zoom-client"}, {"us.zoom.Zoom"}, {}},
        {Platform::teams,
         {"teams-for-linux", "teams"},
         {"teams-for-linux"},
         {"com.github.IsmaelMartinez.teams_for_linux", "com.microsoft.Teams"},
         {}},
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
            auto name = trim(names.substr(0, comma));
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
    bool inApplication = false;
    while (!info.empty()) {
        auto end = info.find('\n');
        auto line = trim(info.substr(0, end));
        info = end == std::string_view::npos ? std::string_view{} : info.substr(end + 1);
        if (line.starts_with("[")) {
            inApplication = line == "[Application]";
            continue;
        }
        if (!inApplication)
            continue;
        auto equals = line.find('=');
        if (equals == std::string_view::npos || trim(line.substr(0, equals)) != "name")
            continue;
        auto name = trim(line.substr(equals + 1));
        if (!name.empty())
            return std::string(name);
    }
    return std::nullopt;
}

Verdict check(std::int32_t pid, Platform platform, const TrustList& trust, ProcessInfo& info) {
    std::vector<const TrustedApp*> apps;
    for (const auto& app : trust)
        if (app.platform == platform)
            apps.push_back(&app);
    if (apps.empty())
        return {false, "no trusted source for this platform"};

    auto exe = info.executable(pid);
    if (!exe || exe->empty())
        return {false, "its executable cannot be read"};

    // Another mount namespace (a sandbox) may show a different file under the same path,
    // so every path rule also checks that the path names the very file being run.
    auto running = info.executableFile(pid);
    auto pathIsRunning = [&] {
        auto here = info.fileFacts(*exe);
        return running && here && sameFile(*running, *here);
    };

    for (const auto* app : apps)
        if (contains(app->exactPaths, *exe) && pathIsRunning())
            return {true, {}};

    if (auto flatpak = info.flatpakInfo(pid)) {
        auto id = flatpakAppID(*flatpak);
        for (const auto* app : apps)
            if (id && contains(app->flatpaks, *id))
                return {true, {}};
        return {false, "a flatpak (" + id.value_or("no app id") + ") that is not the maker's"};
    }

    if (exe->ends_with(" (deleted)"))
        return {false, "its executable was deleted or replaced"};
    if (!pathIsRunning())
        return {false, "it does not run the file at " + *exe};
    if (!isLockedDown(*exe, info))
        return {false, *exe + " or a folder above it is not owned by root or writable by others"};

    if (auto snap = snapOfPath(*exe)) {
        bool trusted = std::any_of(apps.begin(), apps.end(), [&](const TrustedApp* app) {
            return contains(app->snaps, *snap);
        });
        if (!trusted)
            return {false, "snap " + *snap + " is not the maker's"};
        auto cgroup = info.cgroup(pid);
        if (!cgroup || !cgroupNamesSnap(*cgroup, *snap))
            return {false, "it does not run confined as snap " + *snap};
        return {true, {}};
    }

    if (exe->starts_with("/usr/") || exe->starts_with("/opt/")) {
        for (const auto& owner : info.owningPackages(*exe))
            for (const auto* app : apps)
                if (contains(app->packages, owner))
                    return {true, {}};
        return {false, *exe + " is not installed by the maker's package"};
    }
    return {false, *exe + " is not a system, snap or flatpak install"};
}

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

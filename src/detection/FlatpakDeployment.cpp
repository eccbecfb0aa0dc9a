#include "detection/FlatpakDeployment.h"

#include "base/TextLines.h"
namespace tallyvox::FlatpakDeployment {

namespace {

// Absolute, and no "." or ".." that would make the prefix checks below meaningless.
bool isPlainAbsolute(std::string_view path) {
    if (!path.starts_with('/'))
        return false;
    while (!path.empty()) {
        path.remove_prefix(1);
        auto slash = path.find('/');
        auto part = path.substr(0, slash);
        if (part == "." || part == "..")
            return false;
        path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash);
    }
    return true;
}

constexpr std::string_view systemApps = "/var/lib/flatpak/app/";

} // namespace

std::optional<std::string> value(std::string_view info, std::string_view group,
                                 std::string_view key) {
    bool inGroup = false;
    while (!info.empty()) {
        auto end = info.find('\n');
        auto line = TextLines::trimmed(info.substr(0, end));
        info = end == std::string_view::npos ? std::string_view{} : info.substr(end + 1);
        if (line.starts_with('[')) {
            inGroup = line.size() == group.size() + 2 && line.substr(1, group.size()) == group &&
                      line.back() == ']';
            continue;
        }
        auto equals = line.find('=');
        if (!inGroup || equals == std::string_view::npos ||
            TextLines::trimmed(line.substr(0, equals)) != key)
            continue;
        auto found = TextLines::trimmed(line.substr(equals + 1));
        if (!found.empty())
            return std::string(found);
    }
    return std::nullopt;
}

std::optional<std::string> systemAppID(std::string_view appPath) {
    if (!isPlainAbsolute(appPath) || !appPath.starts_with(systemApps))
        return std::nullopt;
    auto rest = appPath.substr(systemApps.size());
    auto slash = rest.find('/');
    if (slash == 0 || slash == std::string_view::npos)
        return std::nullopt;
    return std::string(rest.substr(0, slash));
}

bool isUserInstallation(std::string_view appPath) {
    return appPath.find("/.local/share/flatpak/app/") != std::string_view::npos;
}

std::optional<std::string> hostPath(std::string_view appPath, std::string_view sandboxPath) {
    static constexpr std::string_view app = "/app/";
    if (!sandboxPath.starts_with(app) || !isPlainAbsolute(sandboxPath))
        return std::nullopt;
    std::string path(appPath);
    while (path.ends_with('/'))
        path.pop_back();
    return path + std::string(sandboxPath.substr(app.size() - 1));
}

} // namespace tallyvox::FlatpakDeployment

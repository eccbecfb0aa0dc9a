#include "detection/linux/BrowserSessionFormats.h"

#include <map>

namespace tallyvox::BrowserSessionFormats {

namespace {

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

// Read as Firefox reads it: a line at a time, "[group]", "key=value" and comments, a line it
// does not understand skipped rather than failing the file, so one damaged line does not lose
// every profile. A general INI library would refuse the whole file instead.
std::vector<ProfilePath> firefoxProfilePaths(std::string_view ini) {
    std::vector<ProfilePath> found;
    if (ini.size() > maxIniBytes)
        return found;
    struct Group {
        // A header without its closing bracket: what follows belongs to no group we read.
        bool broken = false;
        std::map<std::string, std::string, std::less<>> keys;
    };
    std::vector<Group> groups;
    std::size_t start = 0;
    while (start < ini.size()) {
        auto end = ini.find('\n', start);
        if (end == std::string_view::npos)
            end = ini.size();
        const auto line = trimmed(ini.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == '#' || line.front() == ';')
            continue;
        if (line.front() == '[') {
            groups.push_back({line.back() != ']', {}});
            continue;
        }
        const auto equals = line.find('=');
        // A NUL would cut the path short where the system reads it.
        if (equals == std::string_view::npos || groups.empty() ||
            line.find('\0') != std::string_view::npos)
            continue;
        groups.back().keys.insert_or_assign(std::string(trimmed(line.substr(0, equals))),
                                            std::string(trimmed(line.substr(equals + 1))));
    }
    for (const auto& [broken, group] : groups) {
        if (found.size() == maxIniProfiles)
            break;
        if (broken)
            continue;
        // profiles.ini: [ProfileN] Path= with IsRelative=; installs.ini and the [Install…]
        // groups of newer profiles.ini files: Default=, absolute when it starts with '/'.
        if (auto path = group.find("Path"); path != group.end()) {
            auto relative = group.find("IsRelative");
            if (!path->second.empty())
                found.push_back({path->second, relative == group.end() || relative->second != "0"});
        } else if (auto path = group.find("Default"); path != group.end()) {
            if (!path->second.empty())
                found.push_back({path->second, path->second.front() != '/'});
        }
    }
    return found;
}

} // namespace tallyvox::BrowserSessionFormats

#include "transcripts/CloudFolders.h"

#include "base/XdgPaths.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvox::CloudFolders {

namespace fs = std::filesystem;

namespace {

enum class Anchor { fileSystemRoot, home, runtimeDir };

// In a rule's path, "#" stands for one all-digit component (a user id) and a trailing "*"
// for a sync client's folder name with the variants the clients create for extra accounts:
// "Dropbox (Personal)", "OneDrive - Contoso", "Nextcloud2". Client names ignore case.
struct Rule {
    Anchor anchor;
    std::string_view path;
};

constexpr std::array rules = {
    // GVFS remote mounts (SFTP, SMB, WebDAV, Google Drive of online accounts).
    Rule{Anchor::runtimeDir, "gvfs"},
    Rule{Anchor::fileSystemRoot, "run/user/#/gvfs"},
    Rule{Anchor::home, ".gvfs"},
    // Sync clients' default folders.
    Rule{Anchor::home, "Dropbox*"},
    Rule{Anchor::home, "Nextcloud*"},
    Rule{Anchor::home, "ownCloud*"},
    Rule{Anchor::home, "OneDrive*"},
    Rule{Anchor::home, "Insync*"},
    Rule{Anchor::home, "pCloudDrive*"},
    Rule{Anchor::home, "MEGA*"},
    Rule{Anchor::home, "MEGAsync*"},
};

std::vector<std::string> componentsOf(const fs::path& path) {
    std::vector<std::string> parts;
    for (const auto& part : path.lexically_normal().relative_path())
        if (!part.empty())
            parts.push_back(part.string());
    return parts;
}

std::vector<std::string_view> split(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        size_t slash = path.find('/');
        parts.push_back(path.substr(0, slash));
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    }
    return parts;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool isClientFolder(std::string_view component, std::string_view client) {
    if (component.size() < client.size() ||
        !equalsIgnoringCase(component.substr(0, client.size()), client))
        return false;
    std::string_view rest = component.substr(client.size());
    if (rest.empty())
        return true;
    if (std::all_of(rest.begin(), rest.end(),
                    [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        return true;
    if (rest.size() > 3 && rest.substr(0, 2) == " (" && rest.back() == ')')
        return true;
    return rest.size() > 3 && rest.substr(0, 3) == " - ";
}

bool componentMatches(std::string_view component, std::string_view pattern) {
    if (pattern == "#")
        return !component.empty() && std::all_of(component.begin(), component.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        });
    if (!pattern.empty() && pattern.back() == '*')
        return isClientFolder(component, pattern.substr(0, pattern.size() - 1));
    return component == pattern;
}

// The anchor as written and with its links resolved: a home reached through a link
// (/home -> /usr/home) must still match a folder whose links were resolved.
std::vector<std::vector<std::string>> anchorForms(Anchor anchor, const Places& places) {
    fs::path base;
    switch (anchor) {
    case Anchor::fileSystemRoot:
        return {{}};
    case Anchor::home:
        base = places.home;
        break;
    case Anchor::runtimeDir:
        base = places.runtimeDir;
        break;
    }
    if (base.empty() || !base.is_absolute())
        return {};
    std::vector<std::vector<std::string>> forms{componentsOf(base)};
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(base, ec);
    if (!ec && componentsOf(resolved) != forms.front())
        forms.push_back(componentsOf(resolved));
    return forms;
}

bool ruleMatches(const Rule& rule, const std::vector<std::string>& folder, const Places& places) {
    auto tail = split(rule.path);
    for (const auto& anchor : anchorForms(rule.anchor, places)) {
        if (folder.size() < anchor.size() + tail.size() ||
            !std::equal(anchor.begin(), anchor.end(), folder.begin()))
            continue;
        bool matched = true;
        for (size_t i = 0; i < tail.size() && matched; ++i)
            matched = componentMatches(folder[anchor.size() + i], tail[i]);
        if (matched)
            return true;
    }
    return false;
}

} // namespace

Places Places::current() {
    return {XdgPaths::home(), XdgPaths::runtimeDir()};
}

bool isSyncedFolder(const fs::path& folder, const Places& places) {
    if (!folder.is_absolute())
        return false;
    auto components = componentsOf(folder);
    return std::any_of(rules.begin(), rules.end(),
                       [&](const Rule& rule) { return ruleMatches(rule, components, places); });
}

bool isSyncedFolder(const fs::path& folder) {
    return isSyncedFolder(folder, Places::current());
}

} // namespace tallyvox::CloudFolders

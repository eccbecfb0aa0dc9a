#include "detection/MeetingURL.h"

#include <uriparser/Uri.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace tallyvox::MeetingURL {

namespace {

constexpr std::array<std::string_view, 3> teamsHosts = {"teams.microsoft.com", "teams.live.com",
                                                        "teams.cloud.microsoft"};
constexpr std::string_view zoomDomain = "zoom.us";
constexpr std::string_view meetHost = "meet.google.com";

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string range(const UriTextRangeA& r) {
    if (!r.first || !r.afterLast)
        return {};
    return std::string(r.first, r.afterLast);
}

// Three letters, four, three, separated by hyphens, with an optional final slash.
bool isMeetCode(std::string_view path) {
    if (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    if (path.size() != 1 + 3 + 1 + 4 + 1 + 3 || path[0] != '/')
        return false;
    for (std::size_t i = 1; i < path.size(); ++i) {
        const bool hyphen = i == 4 || i == 9;
        if (hyphen ? path[i] != '-' : !(path[i] >= 'a' && path[i] <= 'z'))
            return false;
    }
    return true;
}

} // namespace

std::optional<Platform> platform(std::string_view url) {
    const std::string text(url);
    UriUriA uri;
    const char* error = nullptr;
    if (uriParseSingleUriA(&uri, text.c_str(), &error) != URI_SUCCESS)
        return std::nullopt;
    std::string host = lower(range(uri.hostText));
    std::string path;
    for (auto* segment = uri.pathHead; segment; segment = segment->next)
        path.append("/").append(range(segment->text));
    uriFreeUriMembersA(&uri);
    path = lower(path);
    if (host.empty())
        return std::nullopt;

    if (std::find(teamsHosts.begin(), teamsHosts.end(), host) != teamsHosts.end())
        return Platform::teams;
    const bool zoomHost =
        host == zoomDomain || (host.size() > zoomDomain.size() + 1 && host.ends_with(zoomDomain) &&
                               host[host.size() - zoomDomain.size() - 1] == '.');
    if (zoomHost && path.find("/wc/") != std::string::npos)
        return Platform::zoom;
    if (host == meetHost && isMeetCode(path))
        return Platform::meet;
    return std::nullopt;
}

} // namespace tallyvox::MeetingURL

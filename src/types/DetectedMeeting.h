#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallyvox {

enum class Platform { zoom, teams, meet };

// "Zoom", "Teams", "Meet": the name users see and logs print.
std::string_view rawValue(Platform platform);
std::optional<Platform> platformFromRaw(std::string_view raw);

struct DetectedMeeting {
    Platform platform = Platform::zoom;
    std::int32_t pid = 0;
    std::string appName;
    bool isWeb = false;

    // For example "Zoom-812".
    std::string id() const { return std::string(rawValue(platform)) + "-" + std::to_string(pid); }
    bool operator==(const DetectedMeeting&) const = default;
};

inline std::string_view rawValue(Platform platform) {
    switch (platform) {
    case Platform::zoom:
        return "Zoom";
    case Platform::teams:
        return "Teams";
    case Platform::meet:
        return "Meet";
    }
    return "Zoom";
}

inline std::optional<Platform> platformFromRaw(std::string_view raw) {
    for (Platform p : {Platform::zoom, Platform::teams, Platform::meet})
        if (rawValue(p) == raw)
            return p;
    return std::nullopt;
}

} // namespace tallyvox

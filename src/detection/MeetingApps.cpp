#include "detection/MeetingApps.h"

#include <algorithm>

namespace tallyvox::MeetingApps {

const std::vector<MeetingApp>& all() {
    static const std::vector<MeetingApp> apps{
        {Platform::zoom, {"zoom"}, "Zoom"},
        {Platform::teams, {"teams-for-linux", "teams"}, "Microsoft Teams"},
    };
    return apps;
}

const MeetingApp* forBinary(std::string_view binary) {
    if (binary.empty())
        return nullptr;
    for (const auto& app : all())
        if (std::find(app.executables.begin(), app.executables.end(), binary) !=
            app.executables.end())
            return &app;
    return nullptr;
}

} // namespace tallyvox::MeetingApps

#pragma once

#include "types/DetectedMeeting.h"

#include <string>
#include <string_view>
#include <vector>

namespace tallyvox {

// A desktop meeting app, recognised by the name of the executable that owns its audio
// streams. Application names are left alone: Zoom's voice engine calls itself
// "ZOOM VoiceEngine", and any client may call itself anything.
struct MeetingApp {
    Platform platform;
    std::vector<std::string> executables;
    std::string displayName;
};

namespace MeetingApps {

// Zoom, then Microsoft Teams (its community client and the old Microsoft one).
const std::vector<MeetingApp>& all();
// The app whose executable has this name, if any.
const MeetingApp* forBinary(std::string_view binary);

} // namespace MeetingApps

} // namespace tallyvox

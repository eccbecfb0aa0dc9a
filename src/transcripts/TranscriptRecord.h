#pragma once

#include "base/Clock.h"
#include "types/DetectedMeeting.h"

#include <filesystem>
#include <optional>
#include <string>

namespace tallyvox {

// The transcript file of one session.
struct TranscriptRecord {
    DetectedMeeting meeting;
    SystemTime startedAt;
    SystemTime consentAt;
    std::filesystem::path filePath;
    std::optional<SystemTime> endedAt;
    bool automaticConsent = false;
    std::optional<std::string> meetingTitle;
    int wordFixes = 0;

    // The calendar title on one line, else "Zoom Meeting", "Teams Meeting", "Meet Meeting".
    std::string title() const;
    // "Zoom", "Microsoft Teams", "Google Meet"; a web meeting adds " (browser)".
    std::string platformName() const;

    bool operator==(const TranscriptRecord&) const = default;
};

} // namespace tallyvox

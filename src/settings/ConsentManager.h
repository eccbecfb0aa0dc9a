#pragma once

#include "base/Clock.h"
#include "settings/ProtectedSettings.h"
#include "types/ConsentRecord.h"
#include "types/DetectedMeeting.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tallyvox::ConsentManager {

inline constexpr std::string_view statement =
    "All participants know this meeting is being transcribed and have agreed.";
inline constexpr std::string_view standingStatement =
    "I will make sure participants know my meetings are transcribed. Start transcription "
    "automatically when I join a Zoom, Teams or Google Meet meeting.";

// A record for this one meeting, only when the user confirmed.
std::optional<ConsentRecord> confirm(const DetectedMeeting& meeting, bool userConfirmed,
                                     SystemTime now = Clock::system().now());

// When standing consent was given; nothing when it was not (or the stored value is no date).
std::optional<SystemTime> standingConsentDate(const std::filesystem::path& file);

// What the user is told when the file holding standing consent is not read because it is not
// theirs alone (see ProtectedSettings::load) or is damaged; nothing when it is read or missing.
std::optional<std::string> ignoredText(const std::filesystem::path& file);

// Granting again moves the date to now. The date is kept to the whole second. Both throw
// FileError when the setting cannot be stored, so nobody goes on believing it changed.
void grantStanding(SystemTime now, const std::filesystem::path& file);
void revokeStanding(const std::filesystem::path& file);
// What the user is told when a change of standing consent could not be stored.
std::string notSavedText(std::string_view description);

// A record derived from standing consent, dated when that consent was given.
std::optional<ConsentRecord> standing(const DetectedMeeting& meeting,
                                      const std::filesystem::path& file);

} // namespace tallyvox::ConsentManager

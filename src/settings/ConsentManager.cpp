#include "settings/ConsentManager.h"

#include "base/Log.h"
#include "settings/SettingsManager.h"

namespace tallyvox::ConsentManager {

std::optional<ConsentRecord> confirm(const DetectedMeeting& meeting, bool userConfirmed,
                                     SystemTime now) {
    if (!userConfirmed)
        return std::nullopt;
    Log::info("Consent confirmed for {}", meeting.id());
    return ConsentRecord{meeting.id(), std::string(statement), now, false};
}

std::optional<SystemTime> standingConsentDate(const std::filesystem::path& file) {
    auto value = ProtectedSettings::value(SettingsManager::Key::standingConsentAt, file);
    return value ? value->dateValue() : std::nullopt;
}

std::optional<std::string> ignoredText(const std::filesystem::path& file) {
    auto refusal = ProtectedSettings::refusal(file);
    if (!refusal)
        return std::nullopt;
    return "Automatic transcription is off: " + file.filename().string() + " " + *refusal +
           ". Turn it on again to replace the file.";
}

void grantStanding(SystemTime now, const std::filesystem::path& file) {
    ProtectedSettings::storeValue(PlistValue(now), SettingsManager::Key::standingConsentAt, file);
    Log::info("Standing consent given: automatic transcription on");
}

void revokeStanding(const std::filesystem::path& file) {
    ProtectedSettings::storeValue(std::nullopt, SettingsManager::Key::standingConsentAt, file);
    Log::info("Standing consent withdrawn: automatic transcription off");
}

std::string notSavedText(std::string_view description) {
    return "Couldn't save the consent setting: " + std::string(description) + ".";
}

std::optional<ConsentRecord> standing(const DetectedMeeting& meeting,
                                      const std::filesystem::path& file) {
    auto date = standingConsentDate(file);
    if (!date)
        return std::nullopt;
    return ConsentRecord{meeting.id(), std::string(standingStatement), *date, true};
}

} // namespace tallyvox::ConsentManager

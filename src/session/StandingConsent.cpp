#include "session/StandingConsent.h"

#include "base/Log.h"
#include "settings/ConsentManager.h"
#include "settings/SettingsTable.h"

namespace tallyvox {

StandingConsent::StandingConsent(SettingsStores stores, Views views)
    : stores_(std::move(stores))
    , views_(std::move(views)) {
    views_.automatic.set(ConsentManager::standingConsentDate(stores_.protectedFile).has_value());
}

std::optional<ConsentRecord> StandingConsent::forMeeting(const DetectedMeeting& meeting) const {
    if (offUnsaved_)
        return std::nullopt;
    return ConsentManager::standing(meeting, stores_.protectedFile);
}

bool StandingConsent::enable(SystemTime now, bool includeMic) {
    try {
        ConsentManager::grantStanding(now, stores_.protectedFile);
    } catch (const std::exception& error) {
        Log::error("Standing consent not saved: {}", error.what());
        views_.failed(ConsentManager::notSavedText(error.what()));
        return false;
    }
    // A microphone choice that cannot be stored is logged; the consent stands without it.
    SettingsTable::store(SettingsManager::Key::includeMic, PlistValue(includeMic), stores_);
    offUnsaved_ = false;
    views_.automatic.set(true);
    views_.ignored.set(std::nullopt);
    return true;
}

void StandingConsent::disable() {
    views_.automatic.set(false);
    try {
        ConsentManager::revokeStanding(stores_.protectedFile);
        offUnsaved_ = false;
        views_.ignored.set(std::nullopt);
    } catch (const std::exception& error) {
        offUnsaved_ = true;
        Log::error("Standing consent not saved: {}", error.what());
        views_.failed(ConsentManager::notSavedText(error.what()));
    }
}

} // namespace tallyvox

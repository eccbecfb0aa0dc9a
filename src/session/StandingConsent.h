#pragma once

#include "base/Clock.h"
#include "base/Observable.h"
#include "settings/SettingsManager.h"
#include "types/ConsentRecord.h"
#include "types/DetectedMeeting.h"

#include <functional>
#include <optional>
#include <string>

namespace tallyvox {

// Automatic transcription as the user set it: standing consent in the protected file, and
// whether it may start a meeting now. Main thread only.
class StandingConsent {
public:
    struct Views {
        // On while standing consent holds.
        Observable<bool>& automatic;
        // Why a standing consent on file was not honoured; see ConsentManager::ignoredText.
        Observable<std::optional<std::string>>& ignored;
        // A change that could not be stored, for the user.
        std::function<void(const std::string&)> failed;
    };

    // Reads what is on file; the views must outlive this.
    StandingConsent(SettingsStores stores, Views views);

    // The consent a detected meeting starts under; nothing without standing consent, or
    // while an "off" that could not be stored is in force.
    std::optional<ConsentRecord> forMeeting(const DetectedMeeting& meeting) const;
    // Grants it, with the microphone setting chosen beside it; false (and said) when the
    // consent could not be stored.
    bool enable(SystemTime now, bool includeMic);
    // Off takes effect for this run even when it cannot be stored.
    void disable();

private:
    SettingsStores stores_;
    Views views_;
    // Turned off but not stored: the stored "on" must not start meetings while this app runs.
    bool offUnsaved_ = false;
};

} // namespace tallyvox

#pragma once

#include "session/FallingBehind.h"
#include "session/PlatformServices.h"
#include "types/DetectedMeeting.h"

#include <functional>
#include <optional>
#include <string>

namespace tallyvox {

// The notifications of sessions, posted only where the desktop shows them.
class SessionNotices {
public:
    explicit SessionNotices(const PlatformServices& services);

    // Asks the desktop once, at launch; a refusal is only logged.
    void askPermission() const;
    // A meeting was detected; `transcribing` when automatic transcription started it.
    void meeting(const DetectedMeeting& meeting, bool transcribing) const;
    void fallingBehind(const DetectedMeeting& meeting, const FallingBehind& behind) const;

private:
    void post(UserNotification notification) const;

    decltype(PlatformServices::requestNotificationAuthorization) request_;
    decltype(PlatformServices::postNotification) post_;
};

} // namespace tallyvox

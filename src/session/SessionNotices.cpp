#include "session/SessionNotices.h"

#include "base/Log.h"

namespace tallyvox {

SessionNotices::SessionNotices(const PlatformServices& services) {
    if (!services.canNotify)
        return;
    request_ = services.requestNotificationAuthorization;
    post_ = services.postNotification;
}

void SessionNotices::askPermission() const {
    if (!request_)
        return;
    request_([](bool granted, std::optional<std::string> error) {
        if (error)
            Log::error("Notification auth failed: {}", *error);
        else if (!granted)
            Log::info("Notifications not allowed");
    });
}

void SessionNotices::meeting(const DetectedMeeting& meeting, bool transcribing) const {
    std::string platform(rawValue(meeting.platform));
    post({meeting.id(),
          transcribing ? "Transcribing " + platform + " meeting" : platform + " meeting detected",
          transcribing ? "Automatic transcription is on. Stop it from the menu bar."
                       : "Transcription is off. Open Tallyvox in the menu bar to start it."});
}

void SessionNotices::fallingBehind(const DetectedMeeting& meeting,
                                   const FallingBehind& behind) const {
    post({meeting.id() + ".behind", FallingBehind::title, behind.advice()});
}

void SessionNotices::post(UserNotification notification) const {
    if (post_)
        post_(notification, nullptr);
}

} // namespace tallyvox

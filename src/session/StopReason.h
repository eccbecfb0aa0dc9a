#pragma once

#include <string_view>

namespace tallyvox {

// Why a session stopped. Only a meeting that ended by itself may start again automatically;
// every other reason marks it skipped while it lasts.
enum class StopReason {
    userStopped,
    meetingEnded,
    userStoppedThisMeeting,
    captureFailed,
    resumeFailed,
    modelFailedToLoad,
    appQuitting,
};

// The reason as the log says it ("Transcription stopped: meeting ended").
constexpr std::string_view text(StopReason reason) {
    switch (reason) {
    case StopReason::userStopped:
        return "user stopped";
    case StopReason::meetingEnded:
        return "meeting ended";
    case StopReason::userStoppedThisMeeting:
        return "user stopped this meeting";
    case StopReason::captureFailed:
        return "capture failed";
    case StopReason::resumeFailed:
        return "resume failed";
    case StopReason::modelFailedToLoad:
        return "model failed to load";
    case StopReason::appQuitting:
        return "app quitting";
    }
    return "unknown";
}

} // namespace tallyvox

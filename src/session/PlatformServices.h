#pragma once

#include "audio/AudioCaptureService.h"
#include "audio/MicCaptureService.h"
#include "audio/MuteWatcher.h"
#include "base/Clock.h"
#include "base/Executor.h"
#include "base/Observable.h"
#include "detection/DetectionChoices.h"
#include "detection/MeetingDetectionService.h"
#include "transcription/Diarizer.h"
#include "transcription/Recognizer.h"
#include "transcription/WhisperManager.h"
#include "transcripts/TranscriptManager.h"
#include "types/DetectedMeeting.h"
#include "types/MachineSpeed.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

enum class MicAuthorization { notDetermined, authorized, denied, restricted };

// The calendar event of the meeting that is starting or running now.
struct CalendarEvent {
    std::optional<std::string> title;
    std::vector<std::string> names;
};

struct UserNotification {
    std::string identifier;
    std::string title;
    std::string body;
};

// Everything the session manager asks of the operating system, so the state machine runs
// the same under tests as on the desktop. Members left empty mean "not available here".
struct PlatformServices {
    // Created once, owned by the manager for its whole life.
    std::function<std::unique_ptr<MeetingDetectionService>(DetectionChoices)> makeDetection;
    // Empty: models are fetched over HTTPS.
    WhisperManager::Fetcher modelFetcher;

    std::function<std::shared_ptr<AudioCaptureService>()> makeCapture;
    // Whether sound is heard through the computer's own speakers (the microphone hears it).
    std::function<bool()> outputIsBuiltInSpeakers;

    std::function<std::shared_ptr<MicCaptureService>()> makeMic;
    std::function<MicAuthorization()> micAuthorization;
    // The answer may arrive on any thread.
    std::function<void(std::function<void(bool granted)>)> requestMicAccess;

    // Reading another application's controls (accessibility bus enabled).
    std::function<bool()> muteWatcherIsAllowed;
    std::function<void()> requestMuteWatcherPermission;
    // `page` is set for a meeting in a browser tab.
    std::function<std::unique_ptr<MuteWatcher>(std::int32_t pid, std::optional<Platform> page,
                                               MuteWatcher::OnChange onChange)>
        makeMuteWatcher;

    // False when no notification service can show our notifications.
    bool canNotify = false;
    // Answers (granted, error description) on any thread.
    std::function<void(std::function<void(bool, std::optional<std::string>)>)>
        requestNotificationAuthorization;
    // Shows a notification at once; `accepted` (may be empty) gets the error, if any, on any
    // thread.
    std::function<void(const UserNotification&,
                       std::function<void(std::optional<std::string>)> accepted)>
        postNotification;
    // Calls `clicked` on the main thread each time the user clicks one of the notifications
    // posted above, until the subscription ends; empty: clicks are not reported.
    std::function<Subscription(std::function<void()> clicked)> observeNotificationClicks;

    // Calls the handlers on the main thread before the system sleeps and after it wakes.
    std::function<Subscription(std::function<void()> willSleep, std::function<void()> didWake)>
        observeSleepWake;

    std::function<bool()> launchAtLoginEnabled;
    // Throws Error when the autostart entry cannot be written.
    std::function<void(bool)> setLaunchAtLogin;

    // Nothing when no calendar knows the meeting.
    std::function<std::optional<CalendarEvent>(Platform, SystemTime)> calendarRoster;
    // How fast this machine runs the recogniser as kept, read at once (it never measures);
    // empty or nothing: unknown, and the model is recommended by memory alone.
    std::function<std::optional<MachineSpeed>()> machineSpeed;
    // Measures the speed again when the kept figure is missing or old, away from the main
    // thread (it takes a moment); `done` gets the figure on the main thread, nothing when
    // measuring failed. Empty: the kept figure stays.
    std::function<void(std::function<void(std::optional<MachineSpeed>)> done)> measureMachineSpeed;
    // Keeps the figure with what the last session measured; a failure is only logged.
    // Empty: nothing is kept.
    std::function<void(const MachineSpeed&)> keepMachineSpeed;
    // The headless mode: advice names the command that changes a setting, as it has no
    // settings window.
    bool commandLine = false;

    // Shows one file selected in the file manager and answers why it could not; empty:
    // exports are only written.
    std::function<std::optional<std::string>(const std::filesystem::path&)> revealFile;

    // Moves one file to the Trash; empty: old transcripts are never removed.
    TranscriptManager::TrashOperation trash;

    // The engine's recogniser and speaker models.
    RecognizerLoader loadRecognizer;
    DiarizerLoader loadDiarizer;
    // Empty: each engine makes its own serial queue.
    std::function<std::shared_ptr<Executor>()> makeEngineQueue;
};

} // namespace tallyvox

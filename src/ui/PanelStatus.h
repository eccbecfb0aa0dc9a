#pragma once

#include "session/FallingBehind.h"
#include "types/CaptureStats.h"
#include "types/DetectedMeeting.h"
#include "types/TranscriptionSession.h"
#include "types/WhisperModel.h"

#include <filesystem>
#include <optional>
#include <string>

// What the panel says, in plain strings: the running session's status line and the texts that
// are put together from the manager's values. No widgets here, so each rule is checked alone.
namespace tallyvox {
class AppLifecycleManager;
}

namespace tallyvox::ui::panel {

// Whether "Show Live Transcript" is offered (the panel's row and the tray's menu alike): while
// a session runs, or while the last one's lines are there to read.
bool offersLiveTranscript(const AppLifecycleManager& manager);

// The status line under a running session; the first rule that applies wins.
// `micHeard`: a microphone runs and is not being ignored.
// `behind`: the engine found its waiting audio growing past a minute.
std::string status(const CaptureStats& stats, bool paused, double elapsedSeconds, bool micHeard,
                   const std::optional<FallingBehind>& behind = std::nullopt);

// The session clock as hours:minutes:seconds ("0:00:16", "1:02:03"); pauses count.
std::string formatElapsed(double seconds);

// "Zoom meeting detected"
std::string meetingDetected(const DetectedMeeting& meeting);
// "Also detected: Meet in Google Chrome"
std::string alsoDetected(const DetectedMeeting& meeting);
// Why a browser's web meetings are missed and what to look at.
std::string browserUnreadable(const std::string& browser);
// "Zoom · Zoom · automatic"
std::string sessionCaption(const TranscriptionSession& session);
// "Couldn't open Zoom_Meeting.txt: no application is set to open it"
std::string couldNotOpen(const std::filesystem::path& file, const std::string& why);
// "Couldn't show Zoom_Meeting.txt in Files: no file manager answered"
std::string couldNotShow(const std::filesystem::path& file, const std::string& why);
// "Download Models (466 MB + 2 MB)"
std::string downloadTitle(const std::string& sizeLabel);
// Where the models come from and that nothing leaves the computer afterwards.
std::string downloadCaption(const WhisperModel& model, bool speakers);
std::string meetingMutedText(Platform platform);
// With what the meeting's client needs to show its controls, where we know it.
std::string muteButtonUnseenText(const DetectedMeeting& meeting);

inline constexpr const char* pausedStatus = "Audio capture is off while paused.";
inline constexpr const char* loadingModel = "Loading Whisper model…";
inline constexpr const char* finishingHeadline = "Meeting ended · finishing transcript…";
inline constexpr const char* finishingCaption = "Audio capture and microphone are off.";
inline constexpr const char* waitingForConsent = "Waiting for transcription authorization";
inline constexpr const char* notTranscribing = "Not transcribing";
inline constexpr const char* startsAfterSave = "Starts after the last transcript is saved";
inline constexpr const char* noMeeting = "No active meeting";
inline constexpr const char* noMeetingAutomatic = "No active meeting · automatic transcription on";
inline constexpr const char* consentTip =
    "Tip: tell participants, for example in the meeting chat, that you are transcribing.";
inline constexpr const char* setupFootnote = "You can turn this off in Settings › Privacy. A red "
                                             "dot shows whenever a meeting is being transcribed.";
inline constexpr const char* micSilentNotice =
    "Your microphone gives no audio, so your own voice isn't being transcribed. Allow it in "
    "the desktop's privacy settings (Microphone), and check the input in the sound settings.";
inline constexpr const char* accessibilityOffNotice =
    "Turn on the desktop's accessibility support to follow mute.";

} // namespace tallyvox::ui::panel

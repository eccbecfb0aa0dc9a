#include "ui/PanelStatus.h"

#include "detection/Browsers.h"
#include "session/AppLifecycleManager.h"

#include <cmath>
#include <cstdio>

namespace tallyvox::ui::panel {

std::string couldNotOpen(const std::filesystem::path& file, const std::string& why) {
    return "Couldn't open " + file.filename().string() + ": " + why;
}

std::string couldNotShow(const std::filesystem::path& file, const std::string& why) {
    return "Couldn't show " + file.filename().string() + " in Files: " + why;
}

bool offersLiveTranscript(const AppLifecycleManager& manager) {
    return manager.session.get().has_value() || !manager.live().segments.get().empty();
}

std::string status(const CaptureStats& stats, bool paused, double elapsedSeconds, bool micHeard,
                   const std::optional<FallingBehind>& behind) {
    if (paused)
        return pausedStatus;
    if (stats.droppedSeconds > 0)
        return "Transcription is falling behind and skipped some audio. Choose a smaller model "
               "in Settings.";
    if (behind && behind->faster)
        return "Transcription is falling behind. Choose " + std::string(behind->faster->title()) +
               " in Settings.";
    if (behind || stats.bufferedSeconds > 60)
        return "Transcription is falling behind. Choose a smaller model in Settings.";
    // The meeting audio is the sound output's monitor: silence from it means the meeting plays
    // somewhere else (headphones on another output, a muted or moved stream).
    if (!stats.lastSoundAt && elapsedSeconds > 15)
        return "No audio received yet. If people are talking, check that the meeting plays "
               "through this computer's sound output.";
    if (micHeard)
        return "Listening to meeting audio and your mic · kept in memory only";
    return "Listening to meeting audio · kept in memory only";
}

std::string formatElapsed(double seconds) {
    // A clock set back must not show a negative session.
    const long long whole =
        std::isfinite(seconds) && seconds > 0 ? static_cast<long long>(std::floor(seconds)) : 0;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                  whole % 60);
    return text;
}

std::string meetingDetected(const DetectedMeeting& meeting) {
    std::string text(rawValue(meeting.platform));
    text += " meeting detected";
    return text;
}

std::string alsoDetected(const DetectedMeeting& meeting) {
    std::string text = "Also detected: ";
    text += rawValue(meeting.platform);
    text += " in ";
    text += meeting.appName;
    return text;
}

std::string browserUnreadable(const std::string& browser) {
    std::string text = "Web meetings in ";
    text += browser;
    text += " can't be detected. Tallyvox can't read its open tabs; check that its profile "
            "folder is readable and not in a sandbox Tallyvox can't reach.";
    return text;
}

std::string sessionCaption(const TranscriptionSession& session) {
    std::string text(rawValue(session.meeting.platform));
    text += " · ";
    text += session.meeting.appName;
    if (session.consent.automatic)
        text += " · automatic";
    return text;
}

std::string downloadTitle(const std::string& sizeLabel) {
    std::string text = "Download Models (";
    text += sizeLabel;
    text += ")";
    return text;
}

std::string downloadCaption(const WhisperModel& model, bool speakers) {
    std::string text = "One-time download of Whisper ";
    text += model.title();
    if (speakers)
        text += " and speaker models";
    text += " from Hugging Face. Transcription then runs on this computer.";
    return text;
}

std::string meetingMutedText(Platform platform) {
    std::string text = "Muted in ";
    text += rawValue(platform);
    text += ": your mic is ignored.";
    return text;
}

std::string muteButtonUnseenText(const DetectedMeeting& meeting) {
    std::string text = "Can't see the ";
    text += rawValue(meeting.platform);
    text += " mute button, so muting there won't stop your mic here.";
    // Chromium-family browsers keep page contents out of the accessibility tree unless asked.
    if (meeting.isWeb)
        for (const auto& browser : Browsers::all())
            if (browser.name == meeting.appName && browser.family == BrowserFamily::chromium)
                text.append(" ")
                    .append(browser.name)
                    .append(" shows page controls only with renderer accessibility on "
                            "(chrome://accessibility, or start it with "
                            "--force-renderer-accessibility).");
    return text;
}

} // namespace tallyvox::ui::panel

#pragma once

#include "base/Clock.h"
#include "base/Executor.h"
#include "base/Observable.h"
#include "session/FallingBehind.h"
#include "session/FallingBehindWatch.h"
#include "session/LiveTranscript.h"
#include "session/PlatformServices.h"
#include "session/RetentionTimer.h"
#include "session/SessionFiles.h"
#include "session/SessionMicrophone.h"
#include "session/SessionNotices.h"
#include "session/SpeedAdvisor.h"
#include "session/StandingConsent.h"
#include "session/StopReason.h"
#include "settings/SettingsManager.h"
#include "transcription/TranscriptionEngine.h"
#include "types/TranscriptSegment.h"
#include "types/TranscriptionSession.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tallyvox {

// Runs one transcription session at a time, from a detected meeting to its transcript and
// diagnostics on disk. One instance lives as long as the app; main thread only.
class AppLifecycleManager : public std::enable_shared_from_this<AppLifecycleManager> {
public:
    static std::shared_ptr<AppLifecycleManager>
    make(Executor& main, Clock& clock, PlatformServices services, SettingsStores stores);
    ~AppLifecycleManager();
    AppLifecycleManager(const AppLifecycleManager&) = delete;
    AppLifecycleManager& operator=(const AppLifecycleManager&) = delete;

    static constexpr double cleanupInterval = RetentionTimer::interval;
    static constexpr double micCheckInterval = SessionMicrophone::checkInterval;
    static constexpr double muteRetryInterval = SessionMicrophone::muteRetryInterval;
    static constexpr double backlogCheckInterval = FallingBehindWatch::interval;

    MeetingDetectionService& detection() { return *detection_; }
    WhisperManager& whisper() { return *whisper_; }

    // What views watch.
    Observable<std::optional<TranscriptionSession>> session;
    Observable<bool> modelLoading{false};
    Observable<bool> micMutedByUser{false};
    Observable<std::optional<bool>> meetingMuted;
    Observable<bool> finishing{false};
    Observable<std::optional<std::string>> lastError;
    Observable<bool> micSilent{false};
    Observable<bool> automatic{false};
    // Why standing consent on file was not honoured (a file that is not the user's own, or
    // is damaged); nothing when there was none to honour or it was.
    Observable<std::optional<std::string>> standingConsentIgnored;
    // Set once in a session whose recogniser cannot keep up; cleared when the next starts.
    Observable<std::optional<FallingBehind>> fallingBehind;
    // The file of the last finished transcript, once it is on disk in full.
    Observable<std::optional<std::filesystem::path>> savedTranscript;

    bool canNotify() const { return services_.canNotify; }
    // The user's switch or the meeting's own mute.
    bool micIgnored() const { return micMutedByUser.get() || meetingMuted.get() == true; }
    const std::set<std::string>& skipped() const { return skipped_; }
    bool hasMic() const { return microphone_->service() != nullptr; }
    // The running session's meeting-audio figures (nothing between sessions).
    std::optional<CaptureStats> captureStats() const;
    bool isWatchingMute() const { return microphone_->isFollowingMute(); }

    // A model file named on the command line is the model for every session from now on:
    // the settings' model need not be downloaded, and the file is checked at each start.
    // (The recogniser loader given in the services is the one that reads it.)
    void useModelFile(std::filesystem::path file) { modelFile_ = std::move(file); }

    void start(const DetectedMeeting& meeting, const ConsentRecord& consent);
    void autoStart(const DetectedMeeting& meeting);
    // The finish goes on asynchronously; `finishing` tells when it is done.
    void stop(StopReason reason = StopReason::userStopped);
    void togglePause();
    void toggleMicMute();
    void skipCurrentMeeting();
    void transcribeAnyway(const DetectedMeeting& meeting);
    void enableAutomatic(bool includeMic, bool launchAtLogin);
    void disableAutomatic();
    void cleanUpOldTranscripts();
    // Stops the session and calls `done` (on the main thread) once its files are written.
    void finishForQuit(std::function<void()> done);

    // The running or last session's transcript, which the editing views work on.
    LiveTranscript& live() { return live_; }
    const LiveTranscript& live() const { return live_; }

    // Finished transcripts that are still only in memory, waiting for a write that works.
    std::size_t unsavedTranscripts() const { return files_.unsaved(); }

    // What the manager was given of the operating system, for views that ask it directly
    // (the login item, permissions).
    const PlatformServices& services() const { return services_; }
    // The model this machine keeps up with, by its speed figure and what its sessions
    // measured, with what the settings have on (see SettingsManager).
    WhisperModel recommendedModel() const { return speed_->recommended(); }
    const std::optional<MachineSpeed>& machineSpeed() const { return speed_->speed(); }

private:
    struct FinishJob;

    AppLifecycleManager(Executor& main, Clock& clock, PlatformServices services,
                        SettingsStores stores);
    void setUp();
    void followDetection();
    void followSleepAndWake();

    // The steps of start(), in order.
    bool mayStart(const DetectedMeeting& meeting, const EngineOptions& options);
    std::shared_ptr<AudioCaptureService> startCapture(const DetectedMeeting& meeting,
                                                      const ConsentRecord& consent);
    std::shared_ptr<MicCaptureService> openMic(const DetectedMeeting& meeting);
    void openTranscript(const DetectedMeeting& meeting, const ConsentRecord& consent,
                        SystemTime startedAt);
    void loadModel(const std::shared_ptr<TranscriptionEngine>& engine);

    void pauseAudio();
    void resumeCapture();
    void receive(std::uint64_t generation, std::vector<TranscriptSegment> batch);
    void watchBacklog();
    void engineStarted(std::uint64_t generation, const std::shared_ptr<TranscriptionEngine>& engine,
                       const std::exception_ptr& error);
    std::shared_ptr<FinishJob> closeSession();
    void recordEnd(FinishJob& job, const TranscriptionSession& stopped);
    void finish(const std::shared_ptr<FinishJob>& job);
    void finishAfterEngine(const std::shared_ptr<FinishJob>& job,
                           const TranscriptionEngine::StopResult& result);
    void startNextMeeting();
    bool isListed(const DetectedMeeting& meeting) const;

    bool outputIsBuiltInSpeakers() const;

    Executor& main_;
    Clock& clock_;
    PlatformServices services_;
    SettingsStores stores_;
    SessionNotices notices_;

    std::unique_ptr<MeetingDetectionService> detection_;
    std::unique_ptr<WhisperManager> whisper_;
    std::shared_ptr<SessionMicrophone> microphone_;
    std::unique_ptr<RetentionTimer> retention_;
    SessionFiles files_;
    std::optional<StandingConsent> standing_;
    LiveTranscript live_;

    std::shared_ptr<AudioCaptureService> capture_;
    std::shared_ptr<TranscriptionEngine> engine_;
    bool finishRunning_ = false;
    std::vector<std::function<void()>> finishWaiters_;
    // Once quitting has begun nothing new starts.
    bool quitting_ = false;
    // Why the running session's model could not be loaded, for its transcript.
    std::optional<std::string> modelLoadError_;
    std::optional<std::filesystem::path> modelFile_;
    std::shared_ptr<SpeedAdvisor> speed_;
    std::shared_ptr<FallingBehindWatch> behindWatch_;
    std::set<std::string> skipped_;
    std::vector<Subscription> observers_;

    // Counts sessions, so work of an older session (lines, loads, callbacks) is recognised
    // even when two sessions start within the same clock tick.
    std::uint64_t generation_ = 0;
    std::uint64_t transcriptGeneration_ = 0;
};

} // namespace tallyvox

#include "session/AppLifecycleManager.h"

#include "base/Log.h"
#include "session/DetectionSettings.h"
#include "session/EngineSettings.h"
#include "session/SessionEngine.h"
#include "session/SessionInternals.h"
#include "settings/ConsentManager.h"
#include "settings/ProtectedSettings.h"
#include "transcripts/TranscriptManager.h"

#include <algorithm>

namespace tallyvox {

using namespace std::chrono_literals;

std::shared_ptr<AppLifecycleManager> AppLifecycleManager::make(Executor& main, Clock& clock,
                                                               PlatformServices services,
                                                               SettingsStores stores) {
    std::shared_ptr<AppLifecycleManager> manager(
        new AppLifecycleManager(main, clock, std::move(services), std::move(stores)));
    manager->setUp();
    return manager;
}

AppLifecycleManager::AppLifecycleManager(Executor& main, Clock& clock, PlatformServices services,
                                         SettingsStores stores)
    : main_(main)
    , clock_(clock)
    , services_(std::move(services))
    , stores_(std::move(stores))
    , notices_(services_)
    , microphone_(SessionMicrophone::make(
          main, clock, services_,
          {.userMuted = micMutedByUser,
           .meetingMuted = meetingMuted,
           .silent = micSilent,
           .problem = [this](MicProblem problem,
                             const std::string& detail) { lastError.set(text(problem, detail)); }}))
    , files_(main, {.saved = [this](const auto& path) { savedTranscript.set(path); },
                    .failed = [this](const std::string& text) { lastError.set(text); }})
    , live_(stores_, files_,
            {.revealFile = services_.revealFile,
             .failed = [this](const std::string& text) { lastError.set(text); }}) {}

AppLifecycleManager::~AppLifecycleManager() = default;

void AppLifecycleManager::setUp() {
    detection_ = services_.makeDetection(SessionSettings::detectionChoices(stores_));
    whisper_ = std::make_unique<WhisperManager>(main_, services_.modelFetcher);

    speed_ = SpeedAdvisor::make(services_, stores_);
    behindWatch_ = FallingBehindWatch::make(main_, fallingBehind);
    SettingsManager::registerDefaults(stores_, SettingsManager::systemFullName(),
                                      speed_->recommended());
    // Asked first: moving settings into a refused file replaces it with one of the user's own.
    auto ignored = ConsentManager::ignoredText(stores_.protectedFile);
    ProtectedSettings::migrate(stores_.protectedFile, stores_.defaults);
    // Now that the settings are in place, for what this user has on.
    speed_->recommend();
    SettingsManager::registerDefaultModel(stores_, speed_->recommended());
    standing_.emplace(stores_, StandingConsent::Views{.automatic = automatic,
                                                      .ignored = standingConsentIgnored,
                                                      .failed = [this](const std::string& text) {
                                                          lastError.set(text);
                                                      }});
    standingConsentIgnored.set(std::move(ignored));
    SettingsManager::applyAccuracyDefaults(stores_);

    notices_.askPermission();

    followDetection();
    followSleepAndWake();
    detection_->start();
    speed_->measure();

    retention_ = std::make_unique<RetentionTimer>(
        main_, clock_,
        RetentionTimer::Settings{
            .root = [this] { return SettingsManager::saveRoot(stores_); },
            .days = [this] { return SettingsManager::deleteAfterDays(stores_); }},
        services_.trash);
    retention_->start();
}

void AppLifecycleManager::followDetection() {
    std::weak_ptr<AppLifecycleManager> weak = weak_from_this();
    detection_->onMeetingStarted = [weak](const DetectedMeeting& meeting) {
        if (auto self = weak.lock()) {
            self->autoStart(meeting);
            const auto& running = self->session.get();
            self->notices_.meeting(meeting, running && running->meeting.id() == meeting.id());
        }
    };
    detection_->onMeetingEnded = [weak](const DetectedMeeting& meeting) {
        auto self = weak.lock();
        if (!self)
            return;
        self->skipped_.erase(meeting.id());
        if (self->session.get() && self->session.get()->meeting.id() == meeting.id())
            self->stop(StopReason::meetingEnded);
    };
}

void AppLifecycleManager::followSleepAndWake() {
    if (!services_.observeSleepWake)
        return;
    std::weak_ptr<AppLifecycleManager> weak = weak_from_this();
    observers_.push_back(services_.observeSleepWake(
        [weak] {
            auto self = weak.lock();
            if (!self)
                return;
            Log::info("System will sleep");
            if (self->session.get())
                self->pauseAudio();
        },
        [weak] {
            auto self = weak.lock();
            if (!self)
                return;
            Log::info("System woke; re-checking meetings");
            if (self->session.get() && !self->session.get()->pausedAt)
                self->resumeCapture();
            self->detection_->evaluate();
        }));
}

bool AppLifecycleManager::isListed(const DetectedMeeting& meeting) const {
    const auto& running = detection_->meetings.get();
    return std::any_of(running.begin(), running.end(),
                       [&](const auto& m) { return m.id() == meeting.id(); });
}

void AppLifecycleManager::cleanUpOldTranscripts() {
    retention_->runNow();
}

bool AppLifecycleManager::outputIsBuiltInSpeakers() const {
    return services_.outputIsBuiltInSpeakers && services_.outputIsBuiltInSpeakers();
}

// MARK: Starting

void AppLifecycleManager::autoStart(const DetectedMeeting& meeting) {
    if (session.get() || finishing.get() || quitting_ || skipped_.count(meeting.id()))
        return;
    auto consent = standing_->forMeeting(meeting);
    if (!consent)
        return;
    Log::info("Auto-starting transcription for {}", meeting.id());
    start(meeting, *consent);
}

void AppLifecycleManager::start(const DetectedMeeting& meeting, const ConsentRecord& consent) {
    if (session.get() || finishing.get() || quitting_ || consent.meetingID != meeting.id())
        return;
    auto options = SessionSettings::transcriptionOptions(stores_);
    if (!mayStart(meeting, options))
        return;
    if (!modelFile_)
        SettingsManager::keepModel(options.model, stores_);
    lastError.set(std::nullopt);
    auto capture = startCapture(meeting, consent);
    if (!capture)
        return;

    ++generation_;
    modelLoadError_.reset();
    auto mic = openMic(meeting);
    const SystemTime startedAt = clock_.now();
    session.set(TranscriptionSession{meeting, consent, startedAt, std::nullopt, 0});
    capture_ = capture;
    std::weak_ptr<AppLifecycleManager> weak = weak_from_this();
    engine_ = SessionSettings::makeEngine(
        services_, main_, clock_, capture, mic, options, startedAt,
        [weak, generation = generation_](std::vector<TranscriptSegment> batch) {
            if (auto self = weak.lock())
                self->receive(generation, std::move(batch));
        });
    watchBacklog();
    openTranscript(meeting, consent, startedAt);
    Log::info("Transcribing {} ({}, mic {}) → {}", meeting.id(),
              consent.automatic ? "automatic" : "manual", mic ? "on" : "off",
              live_.record.get()->filePath.string());
    loadModel(engine_);
}

bool AppLifecycleManager::mayStart(const DetectedMeeting& meeting, const EngineOptions& options) {
    // A stale menu entry would record everything the computer plays under a meeting that
    // never ends.
    if (!isListed(meeting)) {
        Log::error("Start refused: {} is no longer running", meeting.id());
        lastError.set("That meeting has already ended.");
        return false;
    }
    auto problem = SessionSettings::modelProblem(modelFile_, options.model);
    if (problem)
        lastError.set(*problem);
    return !problem;
}

std::shared_ptr<AudioCaptureService>
AppLifecycleManager::startCapture(const DetectedMeeting& meeting, const ConsentRecord& consent) {
    auto capture = services_.makeCapture();
    std::weak_ptr<AppLifecycleManager> weak = weak_from_this();
    std::weak_ptr<AudioCaptureService> weakCapture = capture;
    capture->onFailure = [weak, weakCapture](const Error& error) {
        auto self = weak.lock();
        auto failed = weakCapture.lock();
        if (!self || !failed || self->capture_ != failed)
            return;
        self->lastError.set(std::string(error.what()));
        self->stop(StopReason::captureFailed);
    };
    MeetingDetectionService* detection = detection_.get();
    capture->meetingOutput = [detection, meeting] { return detection->outputDevice(meeting); };
    try {
        capture->start(consent);
    } catch (const std::exception& error) {
        Log::error("Start failed: {}", error.what());
        lastError.set(std::string(error.what()));
        return nullptr;
    }
    return capture;
}

std::shared_ptr<MicCaptureService> AppLifecycleManager::openMic(const DetectedMeeting& meeting) {
    MeetingDetectionService* detection = detection_.get();
    std::weak_ptr<AppLifecycleManager> weak = weak_from_this();
    return microphone_->begin({
        .meeting = meeting,
        .use = SettingsManager::includeMic(stores_),
        .followMute = SettingsManager::followMute(stores_),
        .meetingDevice = [detection, meeting] { return detection->inputDevice(meeting); },
        .liveSeconds = [weak](SystemTime now) -> std::optional<double> {
            auto self = weak.lock();
            if (!self || !self->session.get() || self->session.get()->pausedAt)
                return std::nullopt;
            const auto& current = *self->session.get();
            return secondsBetween(current.startedAt, now) - current.pausedTotal;
        },
    });
}

// The audio waiting for recognition, in the engine and in the capture (which fills while a
// slow window holds the engine).
void AppLifecycleManager::watchBacklog() {
    std::weak_ptr<AppLifecycleManager> weak = weak_from_this();
    const std::uint64_t generation = generation_;
    behindWatch_->begin(
        {.waiting = [weak, generation]() -> std::optional<double> {
             auto self = weak.lock();
             if (!self || generation != self->generation_ || !self->session.get() || !self->engine_)
                 return std::nullopt;
             double waiting = self->engine_->waitingSeconds();
             if (auto stats = self->captureStats())
                 waiting += stats->bufferedSeconds;
             return waiting;
         },
         .describe =
             [weak](double waiting) {
                 auto self = weak.lock();
                 auto behind =
                     self->speed_->behind(waiting, self->engine_->options(), self->hasMic());
                 behind.commandLine = self->services_.commandLine;
                 return behind;
             },
         .notify =
             [weak](const FallingBehind& behind) {
                 auto self = weak.lock();
                 self->notices_.fallingBehind(self->session.get()->meeting, behind);
             }});
}

// A new record with no lines yet, on disk from the first second.
void AppLifecycleManager::openTranscript(const DetectedMeeting& meeting,
                                         const ConsentRecord& consent, SystemTime startedAt) {
    std::optional<CalendarEvent> event;
    if (SettingsManager::useCalendar(stores_) && services_.calendarRoster)
        event = services_.calendarRoster(meeting.platform, clock_.now());
    transcriptGeneration_ = generation_;
    live_.open(SessionFiles::newRecord(meeting, consent, startedAt,
                                       SettingsManager::saveRoot(stores_), event),
               event ? event->names : std::vector<std::string>{});
}

void AppLifecycleManager::loadModel(const std::shared_ptr<TranscriptionEngine>& engine) {
    modelLoading.set(true);
    Executor* main = &main_;
    std::weak_ptr<AppLifecycleManager> weak = weak_from_this();
    const std::uint64_t generation = generation_;
    std::weak_ptr<TranscriptionEngine> weakEngine = engine;
    engine->start([main, weak, generation, weakEngine](const std::exception_ptr& error) {
        main->post([weak, generation, weakEngine, error] {
            if (auto self = weak.lock())
                self->engineStarted(generation, weakEngine.lock(), error);
        });
    });
}

void AppLifecycleManager::engineStarted(std::uint64_t generation,
                                        const std::shared_ptr<TranscriptionEngine>& engine,
                                        const std::exception_ptr& error) {
    // A load that ends after a newer session began says nothing about that session.
    bool current = generation == generation_;
    if (error) {
        lastError.set(describe(error));
        if (engine && engine_ == engine) {
            modelLoadError_ = describe(error);
            stop(StopReason::modelFailedToLoad);
        }
    }
    if (current)
        modelLoading.set(false);
}

// MARK: Lines

void AppLifecycleManager::receive(std::uint64_t generation, std::vector<TranscriptSegment> batch) {
    if (!live_.record.get() || generation != transcriptGeneration_)
        return;
    // Asked only of batches with microphone lines, once each.
    bool mic = std::any_of(batch.begin(), batch.end(),
                           [](const auto& line) { return line.speaker == TranscriptSegment::you; });
    live_.receive(std::move(batch), mic && outputIsBuiltInSpeakers());
}

// MARK: Pause, resume, sleep

void AppLifecycleManager::togglePause() {
    auto current = session.get();
    if (!current)
        return;
    if (!current->pausedAt) {
        pauseAudio();
        current->pausedAt = clock_.now();
        session.set(current);
        Log::info("Transcription paused");
    } else {
        current->pausedTotal += secondsBetween(*current->pausedAt, clock_.now());
        current->pausedAt.reset();
        session.set(current);
        resumeCapture();
    }
}

void AppLifecycleManager::pauseAudio() {
    if (capture_)
        capture_->pause();
    microphone_->pause();
    if (engine_)
        engine_->flush();
}

void AppLifecycleManager::resumeCapture() {
    if (capture_) {
        try {
            capture_->resume();
        } catch (const std::exception& error) {
            lastError.set(std::string(error.what()));
            stop(StopReason::resumeFailed);
            return;
        }
    }
    microphone_->resume();
}

void AppLifecycleManager::toggleMicMute() {
    microphone_->toggleUserMute();
}

// MARK: Consent

void AppLifecycleManager::enableAutomatic(bool includeMic, bool launchAtLogin) {
    if (!standing_->enable(clock_.now(), includeMic))
        return;
    skipped_.clear();
    if (includeMic)
        microphone_->askAccessAhead();
    bool loginItemOn = services_.launchAtLoginEnabled && services_.launchAtLoginEnabled();
    if (launchAtLogin && !loginItemOn && services_.setLaunchAtLogin) {
        try {
            services_.setLaunchAtLogin(true);
        } catch (const std::exception& error) {
            lastError.set("Launch at login: " + std::string(error.what()));
        }
    }
    std::weak_ptr<AppLifecycleManager> weak = weak_from_this();
    main_.post([weak] {
        if (auto self = weak.lock())
            self->whisper_->download(SettingsManager::model(self->stores_),
                                     SessionSettings::transcriptionOptions(self->stores_).diarize);
    });
}

void AppLifecycleManager::disableAutomatic() {
    standing_->disable();
}

void AppLifecycleManager::skipCurrentMeeting() {
    if (!session.get())
        return;
    skipped_.insert(session.get()->meeting.id());
    stop(StopReason::userStoppedThisMeeting);
}

void AppLifecycleManager::transcribeAnyway(const DetectedMeeting& meeting) {
    skipped_.erase(meeting.id());
    autoStart(meeting);
}

std::optional<CaptureStats> AppLifecycleManager::captureStats() const {
    if (!capture_ || !session.get())
        return std::nullopt;
    return capture_->stats();
}

} // namespace tallyvox

#include "session/AppLifecycleManager.h"

#include "base/Log.h"
#include "session/EngineSettings.h"
#include "transcripts/TranscriptManager.h"

namespace tallyvox {

// What a stopped session leaves for its finish: its services and the report's figures,
// gathered at the moment it stopped.
struct AppLifecycleManager::FinishJob {
    std::uint64_t generation = 0;
    std::shared_ptr<AudioCaptureService> capture;
    std::shared_ptr<MicCaptureService> mic;
    std::shared_ptr<TranscriptionEngine> engine;
    SessionFiles::Ending ending;
};

void AppLifecycleManager::stop(StopReason reason) {
    if (!session.get())
        return;
    TranscriptionSession stopped = *session.get();
    if (reason != StopReason::meetingEnded)
        skipped_.insert(stopped.meeting.id());

    auto job = closeSession();
    Log::info("Transcription stopped: {}", text(reason));
    recordEnd(*job, stopped);

    finishRunning_ = true;
    std::weak_ptr<AppLifecycleManager> weak = weak_from_this();
    main_.post([weak, job] {
        if (auto self = weak.lock())
            self->finish(job);
    });
}

// Pauses the session's audio and hands its services to the finish.
std::shared_ptr<AppLifecycleManager::FinishJob> AppLifecycleManager::closeSession() {
    auto mic = microphone_->end();
    if (capture_)
        capture_->pause();

    auto job = std::make_shared<FinishJob>();
    job->generation = generation_;
    job->capture = std::exchange(capture_, nullptr);
    job->mic = mic.service;
    job->engine = std::exchange(engine_, nullptr);
    job->ending.figures.muteWatched = mic.muteWatched;
    finishing.set(true);
    session.set(std::nullopt);
    return job;
}

// The transcript's end, and the report's figures as they stand when the session stops.
void AppLifecycleManager::recordEnd(FinishJob& job, const TranscriptionSession& stopped) {
    SystemTime now = clock_.now();
    if (live_.record.get())
        live_.record.modify([&](auto& record) { record->endedAt = now; });

    auto& ending = job.ending;
    auto& figures = ending.figures;
    if (job.capture) {
        figures.meetingAudio = job.capture->stats();
        ending.soundReceived = figures.meetingAudio->lastSoundAt.has_value();
    }
    figures.pausedSeconds =
        stopped.pausedTotal + (stopped.pausedAt ? secondsBetween(*stopped.pausedAt, now) : 0.0);
    // The report describes what the session ran with, even if the settings changed since.
    figures.options =
        job.engine ? job.engine->options() : SessionSettings::transcriptionOptions(stores_);
    if (job.mic) {
        auto counts = job.mic->counts();
        figures.mic =
            TranscriptManager::Diagnostics::Mic{counts.received, counts.dropped, counts.ignored};
        figures.micDevice = job.mic->deviceDescription();
        figures.micRestarts = job.mic->restarts();
    }
    figures.outputIsSpeakers = outputIsBuiltInSpeakers();
    ending.modelLoadError = std::exchange(modelLoadError_, std::nullopt);
    ending.recommendedModel = speed_->recommended();
}

void AppLifecycleManager::finish(const std::shared_ptr<FinishJob>& job) {
    if (!job->engine) {
        finishAfterEngine(job, {});
        return;
    }
    std::weak_ptr<AppLifecycleManager> weak = weak_from_this();
    Executor* main = &main_;
    auto engine = job->engine;
    engine->stop([main, weak, job](TranscriptionEngine::StopResult result) {
        // Lines of the final drain were posted before this, so they land first.
        main->post([weak, job, result = std::move(result)] {
            if (auto self = weak.lock())
                self->finishAfterEngine(job, result);
        });
    });
}

void AppLifecycleManager::finishAfterEngine(const std::shared_ptr<FinishJob>& job,
                                            const TranscriptionEngine::StopResult& result) {
    if (job->capture)
        job->capture->stop();
    if (job->mic)
        job->mic->stop();
    finishing.set(false);
    // A model file named by hand is not the model its cost would be kept for.
    if (!modelFile_) {
        // Kept for the model that really ran: a copy that fell back ran as its original.
        auto ran = job->ending.figures.options;
        ran.model = result.model.value_or(ran.model);
        speed_->keepSessionCost(ran, result.stats, result.device);
    }
    job->ending.recommendedModel = speed_->recommended();

    const auto& record = live_.record.get();
    if (record && transcriptGeneration_ == job->generation) {
        auto& ending = job->ending;
        ending.figures.sessionSeconds =
            secondsBetween(record->startedAt, record->endedAt.value_or(clock_.now()));
        ending.figures.engine = result.stats;
        ending.figures.device = result.device;
        ending.recognisedLines = result.segments;
        files_.finish(
            *record, live_.segments.get(),
            [this](int speaker) { return live_.speakerName(speaker); }, ending);
    }

    finishRunning_ = false;
    if (quitting_)
        files_.retryUnsaved();
    auto waiters = std::exchange(finishWaiters_, {});
    for (auto& done : waiters)
        done();
    startNextMeeting();
}

// The first detected meeting that may start: one the user stopped stays running in the
// list and must not keep a meeting that began meanwhile from starting.
void AppLifecycleManager::startNextMeeting() {
    for (const auto& meeting : detection_->meetings.get())
        if (!skipped_.count(meeting.id())) {
            autoStart(meeting);
            break;
        }
}

void AppLifecycleManager::finishForQuit(std::function<void()> done) {
    quitting_ = true;
    stop(StopReason::appQuitting);
    if (finishRunning_) {
        finishWaiters_.push_back(std::move(done));
        return;
    }
    // A last try for what earlier finishes could not write.
    files_.retryUnsaved();
    if (done)
        done();
}

} // namespace tallyvox

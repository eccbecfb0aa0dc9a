#include "session/AppLifecycleManager.h"

#include "base/Log.h"
#include "transcripts/TranscriptManager.h"

namespace tallyvox {

// What a stopped session leaves for its finish: its services and the report's figures,
// gathered at the moment it stopped.
struct AppLifecycleManager::FinishJob {
    std::uint64_t generation = 0;
    std::shared_ptr<AudioCaptureService> capture;
    std::shared_ptr<MicCaptureService> mic;
    std::shared_ptr<TranscriptionEngine> engine;
    std::optional<CaptureStats> meetingAudio;
    bool soundReceived = false;
    double pausedSeconds = 0;
    EngineOptions options;
    std::optional<TranscriptManager::Diagnostics::Mic> micCounts;
    std::optional<std::string> micDevice;
    int micRestarts = 0;
    bool muteWatched = false;
    bool outputIsSpeakers = false;
    std::optional<std::string> modelLoadError;
};

void AppLifecycleManager::stop(StopReason reason) {
    if (!session.get())
        return;
    TranscriptionSession stopped = *session.get();
    if (reason != StopReason::meetingEnded)
        skipped_.insert(stopped.meeting.id());

    auto mic = microphone_->end();
    if (capture_)
        capture_->pause();

    auto job = std::make_shared<FinishJob>();
    job->generation = generation_;
    job->capture = std::exchange(capture_, nullptr);
    job->mic = mic.service;
    job->engine = std::exchange(engine_, nullptr);
    finishing.set(true);
    session.set(std::nullopt);

    Log::info("Transcription stopped: {}", text(reason));

    SystemTime now = clock_.now();
    if (transcript.get())
        transcript.modify([&](auto& record) { record->endedAt = now; });

    if (job->capture) {
        job->meetingAudio = job->capture->stats();
        job->soundReceived = job->meetingAudio->lastSoundAt.has_value();
    }
    job->pausedSeconds =
        stopped.pausedTotal + (stopped.pausedAt ? secondsBetween(*stopped.pausedAt, now) : 0.0);
    // The report describes what the session ran with, even if the settings changed since.
    job->options =
        job->engine ? job->engine->options() : SettingsManager::transcriptionOptions(stores_);
    if (job->mic) {
        auto counts = job->mic->counts();
        job->micCounts =
            TranscriptManager::Diagnostics::Mic{counts.received, counts.dropped, counts.ignored};
        job->micDevice = job->mic->deviceDescription();
        job->micRestarts = job->mic->restarts();
    }
    job->muteWatched = mic.muteWatched;
    job->modelLoadError = std::exchange(modelLoadError_, std::nullopt);
    job->outputIsSpeakers = outputIsBuiltInSpeakers();

    finishRunning_ = true;
    std::weak_ptr<AppLifecycleManager> weak = weak_from_this();
    main_.post([weak, job] {
        if (auto self = weak.lock())
            self->finish(job);
    });
}

void AppLifecycleManager::finish(std::shared_ptr<FinishJob> job) {
    if (!job->engine) {
        finishAfterEngine(std::move(job), {});
        return;
    }
    std::weak_ptr<AppLifecycleManager> weak = weak_from_this();
    Executor* main = &main_;
    auto engine = job->engine;
    engine->stop([main, weak, job](TranscriptionEngine::StopResult result) {
        // Lines of the final drain were posted before this, so they land first.
        main->post([weak, job, result = std::move(result)]() mutable {
            if (auto self = weak.lock())
                self->finishAfterEngine(job, std::move(result));
        });
    });
}

void AppLifecycleManager::finishAfterEngine(std::shared_ptr<FinishJob> job,
                                            TranscriptionEngine::StopResult result) {
    if (job->capture)
        job->capture->stop();
    if (job->mic)
        job->mic->stop();
    finishing.set(false);

    const auto& record = transcript.get();
    if (record && transcriptGeneration_ == job->generation) {
        TranscriptManager::Diagnostics figures;
        figures.sessionSeconds =
            secondsBetween(record->startedAt, record->endedAt.value_or(clock_.now()));
        figures.pausedSeconds = job->pausedSeconds;
        figures.options = job->options;
        figures.meetingAudio = job->meetingAudio;
        figures.mic = job->micCounts;
        figures.micDevice = job->micDevice;
        figures.micRestarts = job->micRestarts;
        figures.muteWatched = job->muteWatched;
        figures.outputIsSpeakers = job->outputIsSpeakers;
        figures.engine = result.stats;

        auto report = record->fileURL;
        report.replace_extension();
        report += ".diagnostics.txt";
        try {
            TranscriptManager::write(
                TranscriptManager::diagnostics(*record, segments.get(), figures), report);
        } catch (const std::exception& error) {
            Log::error("Diagnostics not saved: {}", error.what());
        }

        if (result.segments > 0) {
            if (save()) {
                Log::info("Transcript saved: {}", record->fileURL.string());
                savedTranscript.set(record->fileURL);
            } else {
                // The next session must not take these lines with it: they stay until written.
                unsaved_.keep(record->fileURL,
                              TranscriptManager::text(*record, segments.get(), [this](int speaker) {
                                  return speakerName(speaker);
                              }));
            }
        } else {
            std::string text =
                job->modelLoadError
                    ? TranscriptManager::emptySessionText(
                          *record, TranscriptManager::modelNotLoadedMessage(*job->modelLoadError))
                    : TranscriptManager::emptySessionText(*record, job->soundReceived);
            try {
                TranscriptManager::write(text, record->fileURL);
                savedTranscript.set(record->fileURL);
            } catch (const std::exception& error) {
                Log::error("Saving empty transcript failed: {}", error.what());
                unsaved_.keep(record->fileURL, std::move(text));
            }
            Log::error("No speech transcribed (sound received: {})", job->soundReceived);
        }
    }

    finishRunning_ = false;
    if (quitting_)
        unsaved_.retry();
    auto waiters = std::exchange(finishWaiters_, {});
    for (auto& done : waiters)
        done();

    // The first detected meeting that may start: one the user stopped stays running in the
    // list and must not keep a meeting that began meanwhile from starting.
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
    unsaved_.retry();
    if (done)
        done();
}

} // namespace tallyvox

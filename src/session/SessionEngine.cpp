#include "session/SessionEngine.h"

namespace tallyvox::SessionSettings {

std::shared_ptr<TranscriptionEngine>
makeEngine(const PlatformServices& services, Executor& main, Clock& clock,
           const std::shared_ptr<AudioCaptureService>& capture,
           const std::shared_ptr<MicCaptureService>& mic, const EngineOptions& options,
           SystemTime startedAt, std::function<void(std::vector<TranscriptSegment>)> deliver) {
    std::vector<TranscriptionEngine::Source> sources;
    TranscriptionEngine::Source meetingAudio;
    meetingAudio.name = "meeting audio";
    meetingAudio.drain = [capture] { return capture->drain(); };
    sources.push_back(std::move(meetingAudio));
    if (mic) {
        TranscriptionEngine::Source yours;
        yours.name = "your microphone";
        yours.drain = [mic] { return mic->drain(); };
        yours.speaker = TranscriptSegment::you;
        yours.isMic = true;
        sources.push_back(std::move(yours));
    }

    Executor* mainThread = &main;
    Clock* clockUsed = &clock;
    TranscriptionEngine::Dependencies deps;
    if (services.makeEngineQueue)
        deps.queue = services.makeEngineQueue();
    deps.loadRecognizer = services.loadRecognizer;
    deps.loadDiarizer = services.loadDiarizer;
    deps.stopwatch = [clockUsed] { return clockUsed->uptime(); };
    return TranscriptionEngine::make(
        std::move(sources), options,
        [clockUsed, startedAt] { return secondsBetween(startedAt, clockUsed->now()); },
        [mainThread, deliver = std::move(deliver)](std::vector<TranscriptSegment> batch) {
            mainThread->post(
                [deliver, batch = std::move(batch)]() mutable { deliver(std::move(batch)); });
        },
        std::move(deps));
}

} // namespace tallyvox::SessionSettings

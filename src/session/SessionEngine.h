#pragma once

#include "audio/AudioCaptureService.h"
#include "audio/MicCaptureService.h"
#include "base/Clock.h"
#include "base/Executor.h"
#include "session/PlatformServices.h"
#include "transcription/TranscriptionEngine.h"
#include "types/EngineTypes.h"
#include "types/TranscriptSegment.h"

#include <functional>
#include <memory>
#include <vector>

namespace tallyvox::SessionSettings {

// The engine of one session, not yet started: the meeting audio and, when it is open, the
// user's microphone as its sources, timed from `startedAt`. Each batch of lines reaches
// `deliver` on the main thread.
std::shared_ptr<TranscriptionEngine>
makeEngine(const PlatformServices& services, Executor& main, Clock& clock,
           const std::shared_ptr<AudioCaptureService>& capture,
           const std::shared_ptr<MicCaptureService>& mic, const EngineOptions& options,
           SystemTime startedAt, std::function<void(std::vector<TranscriptSegment>)> deliver);

} // namespace tallyvox::SessionSettings

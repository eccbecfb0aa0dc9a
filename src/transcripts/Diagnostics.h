#pragma once

#include "transcripts/TranscriptRecord.h"
#include "types/CaptureStats.h"
#include "types/EngineTypes.h"
#include "types/TranscriptSegment.h"
#include "types/WhisperModel.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox::TranscriptManager {

// The figures of one session, gathered when it stops.
struct Diagnostics {
    // Seconds the microphone delivered, dropped, and left out while the user was muted.
    struct Mic {
        double received = 0;
        double dropped = 0;
        double ignored = 0;

        bool operator==(const Mic&) const = default;
    };

    double sessionSeconds = 0; // end (or now) minus start
    double pausedSeconds = 0;
    EngineOptions options;
    std::optional<CaptureStats> meetingAudio; // absent without capture
    std::optional<Mic> mic;                   // absent when the microphone was off
    std::optional<std::string> micDevice;
    int micRestarts = 0;
    bool muteWatched = false;
    bool outputIsSpeakers = false;
    std::map<std::string, EngineStats> engine; // by channel name, the report's order
    std::string device;                        // what recognition computed on, when known

    bool operator==(const Diagnostics&) const = default;
};

// What the report says about the app and the machine rather than the session: the app's
// summary, the VAD file on disk and this machine's recommended model.
struct DiagnosticsContext {
    std::string appSummary;
    bool vadDownloaded = false;
    WhisperModel recommendedModel;
};

// The plain-text report written beside a transcript; holds no transcript text.
std::string diagnostics(const TranscriptRecord& record,
                        const std::vector<TranscriptSegment>& segments, const Diagnostics& figures,
                        const DiagnosticsContext& context);

} // namespace tallyvox::TranscriptManager

#pragma once

#include "base/Executor.h"
#include "session/PlatformServices.h"
#include "session/UnsavedTranscripts.h"
#include "transcripts/Diagnostics.h"
#include "transcripts/TranscriptManager.h"
#include "transcripts/TranscriptRecord.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

// The files of a session: its transcript, rewritten from memory after every change, and at
// the finish the diagnostics report beside it and the final text, or why there is none. A
// final text that cannot be written stays in memory and is written again until a write
// works, so the next session never takes it with it. Main thread only.
class SessionFiles {
public:
    struct Handlers {
        // A final text is on disk in full.
        std::function<void(const std::filesystem::path&)> saved;
        // A transcript could not be written: the user's text for it.
        std::function<void(const std::string&)> failed;
    };

    // What the finish knows besides the lines.
    struct Ending {
        TranscriptManager::Diagnostics figures;
        // Lines the engine handed out over the session; none: the file says why.
        int recognisedLines = 0;
        bool soundReceived = false;
        // Why the model never loaded, when it did not.
        std::optional<std::string> modelLoadError;
        // The model the diagnostics point to.
        WhisperModel recommendedModel;
    };

    SessionFiles(Executor& main, Handlers handlers);
    SessionFiles(const SessionFiles&) = delete;
    SessionFiles& operator=(const SessionFiles&) = delete;

    // False (and `failed` told) when it could not be written.
    bool save(const TranscriptRecord& record, const std::vector<TranscriptSegment>& lines,
              const TranscriptManager::SpeakerName& name);
    void finish(const TranscriptRecord& record, const std::vector<TranscriptSegment>& lines,
                const TranscriptManager::SpeakerName& name, const Ending& ending);

    // Tries every kept final text once now.
    void retryUnsaved() { unsaved_.retry(); }
    std::size_t unsaved() const { return unsaved_.count(); }

    // A session's record before its first line, filed under `root`; a calendar event names it.
    static TranscriptRecord newRecord(const DetectedMeeting& meeting, const ConsentRecord& consent,
                                      SystemTime startedAt, const std::filesystem::path& root,
                                      const std::optional<CalendarEvent>& event);

    // "Zoom_Meeting_10-00.diagnostics.txt" beside "Zoom_Meeting_10-00.txt".
    static std::filesystem::path diagnosticsFile(const std::filesystem::path& transcript);

private:
    Handlers handlers_;
    UnsavedTranscripts unsaved_;
};

} // namespace tallyvox

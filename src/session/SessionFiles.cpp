#include "session/SessionFiles.h"

#include "base/Log.h"
#include "session/DiagnosticsContext.h"

namespace tallyvox {

namespace {
std::string unsavedText(const std::string& description) {
    return "Couldn't save the transcript: " + description + ". It is still in memory.";
}
} // namespace

SessionFiles::SessionFiles(Executor& main, Handlers handlers)
    : handlers_(std::move(handlers))
    , unsaved_(main, {.saved =
                          [this](const auto& path) {
                              if (handlers_.saved)
                                  handlers_.saved(path);
                          },
                      .failed =
                          [this](const std::string& description) {
                              if (handlers_.failed)
                                  handlers_.failed(unsavedText(description));
                          }}) {}

std::filesystem::path SessionFiles::diagnosticsFile(const std::filesystem::path& transcript) {
    auto report = transcript;
    report.replace_extension();
    report += ".diagnostics.txt";
    return report;
}

bool SessionFiles::save(const TranscriptRecord& record, const std::vector<TranscriptSegment>& lines,
                        const TranscriptManager::SpeakerName& name) {
    try {
        TranscriptManager::write(TranscriptManager::text(record, lines, name), record.filePath);
    } catch (const std::exception& error) {
        Log::error("Saving transcript failed: {}", error.what());
        if (handlers_.failed)
            handlers_.failed(unsavedText(error.what()));
        return false;
    }
    unsaved_.forget(record.filePath);
    return true;
}

void SessionFiles::finish(const TranscriptRecord& record,
                          const std::vector<TranscriptSegment>& lines,
                          const TranscriptManager::SpeakerName& name, const Ending& ending) {
    try {
        TranscriptManager::write(
            TranscriptManager::diagnostics(record, lines, ending.figures,
                                           currentDiagnosticsContext(ending.recommendedModel)),
            diagnosticsFile(record.filePath));
    } catch (const std::exception& error) {
        Log::error("Diagnostics not saved: {}", error.what());
    }

    if (ending.recognisedLines > 0) {
        if (save(record, lines, name)) {
            Log::info("Transcript saved: {}", record.filePath.string());
            if (handlers_.saved)
                handlers_.saved(record.filePath);
        } else {
            // The next session must not take these lines with it: they stay until written.
            unsaved_.keep(record.filePath, TranscriptManager::text(record, lines, name));
        }
        return;
    }

    std::string text =
        ending.modelLoadError
            ? TranscriptManager::emptySessionText(
                  record, TranscriptManager::modelNotLoadedMessage(*ending.modelLoadError))
            : TranscriptManager::emptySessionText(record, ending.soundReceived);
    try {
        TranscriptManager::write(text, record.filePath);
        if (handlers_.saved)
            handlers_.saved(record.filePath);
    } catch (const std::exception& error) {
        Log::error("Saving empty transcript failed: {}", error.what());
        unsaved_.keep(record.filePath, std::move(text));
    }
    Log::error("No speech transcribed (sound received: {})", ending.soundReceived);
}

TranscriptRecord SessionFiles::newRecord(const DetectedMeeting& meeting,
                                         const ConsentRecord& consent, SystemTime startedAt,
                                         const std::filesystem::path& root,
                                         const std::optional<CalendarEvent>& event) {
    TranscriptRecord record;
    record.meeting = meeting;
    record.startedAt = startedAt;
    record.consentAt = consent.confirmedAt;
    record.filePath = TranscriptManager::filePath(root, meeting.platform, startedAt);
    record.automaticConsent = consent.automatic;
    if (event)
        record.meetingTitle = event->title;
    return record;
}

} // namespace tallyvox

#include "transcripts/TranscriptExport.h"

#include "base/Error.h"
#include "transcripts/TranscriptDocument.h"

namespace tallyvox::TranscriptExport {

std::string render(ExportFormat format, const TranscriptRecord& record,
                   const std::vector<TranscriptSegment>& segments,
                   const TranscriptManager::SpeakerName& name) {
    switch (format) {
    case ExportFormat::markdown:
        return TranscriptManager::markdown(record, segments, name);
    case ExportFormat::srt:
        return TranscriptManager::srt(segments, name);
    case ExportFormat::word:
        return TranscriptDocument::word(record, segments, name);
    case ExportFormat::pdf:
        return TranscriptDocument::pdf(record, segments, name);
    }
    throw Error("Unknown export format.");
}

} // namespace tallyvox::TranscriptExport

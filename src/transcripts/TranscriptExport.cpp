#include "transcripts/TranscriptExport.h"

#include "base/Error.h"

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
    case ExportFormat::pdf:
        break;
    }
    throw Error("This build cannot write " + std::string(rawValue(format)) + " documents yet.");
}

} // namespace tallyvox::TranscriptExport

#pragma once

#include "transcripts/ExportFormat.h"
#include "transcripts/TranscriptManager.h"
#include "transcripts/TranscriptReader.h"
#include "transcripts/TranscriptRecord.h"
#include "types/TranscriptSegment.h"

#include <optional>
#include <string>
#include <vector>

namespace tallyvox::TranscriptExport {

// The bytes of an export in `format`. Throws Error when the document cannot be built.
std::string render(ExportFormat format, const TranscriptRecord& record,
                   const std::vector<TranscriptSegment>& segments,
                   const TranscriptManager::SpeakerName& name);

// The export of a transcript file as read. The header is copied through as it stands, so a
// date or consent line edited by hand is neither refused nor rewritten, and lines this app
// does not write are kept, as is what the file says before its first turn.
std::string render(ExportFormat format, const TranscriptReader::Parsed& transcript);

// What of the transcript the format has no place for, in words for the user; nothing when
// the export holds everything the file says beyond the header this app writes.
std::optional<std::string> leftOut(ExportFormat format, const TranscriptReader::Parsed& transcript);

} // namespace tallyvox::TranscriptExport

#pragma once

#include "transcripts/ExportFormat.h"
#include "transcripts/TranscriptManager.h"
#include "transcripts/TranscriptRecord.h"
#include "types/TranscriptSegment.h"

#include <string>
#include <vector>

namespace tallyvox::TranscriptExport {

// The bytes of an export in `format`. Throws Error when the document cannot be built.
std::string render(ExportFormat format, const TranscriptRecord& record,
                   const std::vector<TranscriptSegment>& segments,
                   const TranscriptManager::SpeakerName& name);

} // namespace tallyvox::TranscriptExport

#pragma once

#include "transcripts/Diagnostics.h"

namespace tallyvox {

// The running app's summary, the VAD file on disk and this machine's recommended model.
TranscriptManager::DiagnosticsContext currentDiagnosticsContext(WhisperModel recommended);

} // namespace tallyvox

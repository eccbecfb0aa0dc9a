#include "session/DiagnosticsContext.h"

#include "settings/AppInfo.h"

namespace tallyvox {

TranscriptManager::DiagnosticsContext currentDiagnosticsContext(WhisperModel recommended) {
    return {AppInfo::summary(), VADModel::isDownloaded(), recommended};
}

} // namespace tallyvox

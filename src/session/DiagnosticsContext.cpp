#include "session/DiagnosticsContext.h"

#include "settings/AppInfo.h"
#include "settings/SettingsManager.h"

namespace tallyvox {

TranscriptManager::DiagnosticsContext currentDiagnosticsContext() {
    return {AppInfo::summary(), VADModel::isDownloaded(), SettingsManager::recommendedModel()};
}

} // namespace tallyvox

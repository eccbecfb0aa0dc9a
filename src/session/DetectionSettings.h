#pragma once

#include "detection/DetectionChoices.h"
#include "settings/SettingsManager.h"

namespace tallyvox::SessionSettings {

// The detection switches as stored in `stores`, which must outlive what this answers.
DetectionChoices detectionChoices(const SettingsStores& stores);

} // namespace tallyvox::SessionSettings

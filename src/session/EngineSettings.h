#pragma once

#include "settings/SettingsManager.h"
#include "types/EngineTypes.h"

#include <optional>
#include <string>

namespace tallyvox::SettingsManager {

// The language setting when the recogniser knows every code in it, else "en+hi".
std::string checkedLanguage(const std::optional<std::string>& language);

// The options a new session's engine runs with, read afresh.
EngineOptions transcriptionOptions(const SettingsStores& stores);

} // namespace tallyvox::SettingsManager

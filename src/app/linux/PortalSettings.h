#pragma once

#include "app/linux/GlibHandles.h"

namespace tallyvox::linux_services {

// One setting the desktop shares with apps through the session's settings portal
// (org.freedesktop.portal.Settings), unwrapped to its value; null when there is no session
// bus, no portal, no such setting, or no answer within a second.
VariantPtr portalSetting(const char* nameSpace, const char* key);

} // namespace tallyvox::linux_services

#pragma once

#include <cstdint>
#include <optional>

namespace tallyvox::linux_services {

class PortalSettings;

// Whether the desktop asks apps for dark windows. The settings portal's color-scheme
// (org.freedesktop.appearance: 0 no preference, 1 prefer dark, 2 prefer light) decides; with
// no answer or no preference, a GTK_THEME naming a dark variant ("Adwaita:dark",
// "Adwaita-dark") says dark.
bool prefersDark(std::optional<std::uint32_t> portalColorScheme, const char* gtkTheme);

// Asks the session's settings portal and reads GTK_THEME.
bool desktopPrefersDark(PortalSettings& portal);

} // namespace tallyvox::linux_services

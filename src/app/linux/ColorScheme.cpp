#include "app/linux/ColorScheme.h"

#include "app/linux/PortalSettings.h"

#include <gio/gio.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace tallyvox::linux_services {

bool prefersDark(std::optional<std::uint32_t> portalColorScheme, const char* gtkTheme) {
    if (portalColorScheme == 1u)
        return true;
    if (portalColorScheme == 2u || !gtkTheme)
        return false;
    std::string theme(gtkTheme);
    std::transform(theme.begin(), theme.end(), theme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return theme.ends_with(":dark") || theme.ends_with("-dark");
}

bool desktopPrefersDark(PortalSettings& portal) {
    return prefersDark(portal.number("org.freedesktop.appearance", "color-scheme"),
                       g_getenv("GTK_THEME"));
}

} // namespace tallyvox::linux_services

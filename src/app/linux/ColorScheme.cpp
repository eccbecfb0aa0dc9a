#include "app/linux/ColorScheme.h"

#include "app/linux/PortalSettings.h"

#include <gio/gio.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace tallyvox::linux_services {

namespace {

std::optional<std::uint32_t> portalColorScheme() {
    VariantPtr value = portalSetting("org.freedesktop.appearance", "color-scheme");
    if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_UINT32))
        return std::nullopt;
    return g_variant_get_uint32(value.get());
}

} // namespace

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

bool desktopPrefersDark() {
    return prefersDark(portalColorScheme(), g_getenv("GTK_THEME"));
}

} // namespace tallyvox::linux_services

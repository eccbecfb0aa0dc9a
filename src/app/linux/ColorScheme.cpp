#include "app/linux/ColorScheme.h"

#include "app/linux/PrivateBus.h"

#include <gio/gio.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace tallyvox::linux_services {

namespace {

std::optional<std::uint32_t> portalColorScheme() {
    if (!g_getenv("DBUS_SESSION_BUS_ADDRESS") && !g_getenv("XDG_RUNTIME_DIR"))
        return std::nullopt;
    auto bus = privateBus(G_BUS_TYPE_SESSION);
    if (!bus)
        return std::nullopt;
    VariantPtr reply(g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
        "org.freedesktop.portal.Settings", "Read",
        g_variant_new("(ss)", "org.freedesktop.appearance", "color-scheme"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr));
    if (!reply)
        return std::nullopt;
    // Read wraps the value in one variant more than ReadOne does.
    VariantPtr value(g_variant_get_child_value(reply.get(), 0));
    while (value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_VARIANT))
        value.reset(g_variant_get_variant(value.get()));
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

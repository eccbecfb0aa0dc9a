#include "app/linux/PortalSettings.h"

#include "app/linux/PrivateBus.h"

#include <gio/gio.h>

namespace tallyvox::linux_services {

VariantPtr portalSetting(const char* nameSpace, const char* key) {
    if (!g_getenv("DBUS_SESSION_BUS_ADDRESS") && !g_getenv("XDG_RUNTIME_DIR"))
        return nullptr;
    auto bus = privateBus(G_BUS_TYPE_SESSION);
    if (!bus)
        return nullptr;
    VariantPtr reply(g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
        "org.freedesktop.portal.Settings", "Read", g_variant_new("(ss)", nameSpace, key),
        G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr));
    if (!reply)
        return nullptr;
    // Read wraps the value in one variant more than ReadOne does.
    VariantPtr value(g_variant_get_child_value(reply.get(), 0));
    while (value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_VARIANT))
        value.reset(g_variant_get_variant(value.get()));
    return value;
}

} // namespace tallyvox::linux_services

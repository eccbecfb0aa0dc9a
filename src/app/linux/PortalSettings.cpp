#include "app/linux/PortalSettings.h"

#include "app/linux/GlibHandles.h"
#include "app/linux/PrivateBus.h"

#include <gio/gio.h>

namespace tallyvox::linux_services {

PortalSettings::PortalSettings() {
    if (g_getenv("DBUS_SESSION_BUS_ADDRESS") || g_getenv("XDG_RUNTIME_DIR"))
        bus_ = privateBus(G_BUS_TYPE_SESSION).release();
}

PortalSettings::~PortalSettings() {
    if (bus_)
        g_object_unref(bus_);
}

GVariant* PortalSettings::read(const char* nameSpace, const char* key) {
    if (!bus_)
        return nullptr;
    GError* error = nullptr;
    VariantPtr reply(g_dbus_connection_call_sync(
        bus_, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
        "org.freedesktop.portal.Settings", "Read", g_variant_new("(ss)", nameSpace, key),
        G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, &error));
    if (!reply) {
        // An unknown setting is the portal's ordinary answer; anything else means no portal.
        gchar* name = error ? g_dbus_error_get_remote_error(error) : nullptr;
        if (g_strcmp0(name, "org.freedesktop.portal.Error.NotFound") != 0) {
            g_object_unref(bus_);
            bus_ = nullptr;
        }
        g_free(name);
        g_clear_error(&error);
        return nullptr;
    }
    // Read wraps the value in one variant more than ReadOne does.
    GVariant* value = g_variant_get_child_value(reply.get(), 0);
    while (value && g_variant_is_of_type(value, G_VARIANT_TYPE_VARIANT)) {
        GVariant* inner = g_variant_get_variant(value);
        g_variant_unref(value);
        value = inner;
    }
    return value;
}

std::optional<std::uint32_t> PortalSettings::number(const char* nameSpace, const char* key) {
    VariantPtr value(read(nameSpace, key));
    if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_UINT32))
        return std::nullopt;
    return g_variant_get_uint32(value.get());
}

std::optional<bool> PortalSettings::flag(const char* nameSpace, const char* key) {
    VariantPtr value(read(nameSpace, key));
    if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN))
        return std::nullopt;
    return g_variant_get_boolean(value.get()) != FALSE;
}

} // namespace tallyvox::linux_services

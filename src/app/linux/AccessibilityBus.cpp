#include "app/linux/AccessibilityBus.h"

#include "app/linux/PrivateBus.h"
#include "base/Log.h"

#include <gio/gio.h>

namespace tallyvox::linux_services {

namespace {

constexpr const char* service = "org.a11y.Bus";
constexpr const char* path = "/org/a11y/bus";
constexpr const char* statusInterface = "org.a11y.Status";
constexpr int timeoutMs = 1000;

GObjectPtr<GDBusConnection> sessionBus() {
    if (!g_getenv("DBUS_SESSION_BUS_ADDRESS") && !g_getenv("XDG_RUNTIME_DIR"))
        return nullptr;
    return privateBus(G_BUS_TYPE_SESSION);
}

} // namespace

bool AccessibilityBus::isEnabled() {
    auto bus = sessionBus();
    if (!bus)
        return false;
    // Asking must not start the bus launcher: a launcher that is not running is no bus.
    VariantPtr reply(g_dbus_connection_call_sync(
        bus.get(), service, path, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", statusInterface, "IsEnabled"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, nullptr, nullptr));
    if (!reply)
        return false;
    VariantPtr value;
    {
        GVariant* inner = nullptr;
        g_variant_get(reply.get(), "(v)", &inner);
        value.reset(inner);
    }
    return value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN) &&
           g_variant_get_boolean(value.get());
}

bool AccessibilityBus::enable() {
    auto bus = sessionBus();
    if (!bus)
        return false;
    GError* failure = nullptr;
    VariantPtr reply(g_dbus_connection_call_sync(
        bus.get(), service, path, "org.freedesktop.DBus.Properties", "Set",
        g_variant_new("(ssv)", statusInterface, "IsEnabled", g_variant_new_boolean(TRUE)), nullptr,
        G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &failure));
    ErrorPtr error(failure);
    if (!reply) {
        Log::error("Cannot switch on the accessibility bus: {}",
                   error ? error->message : "unknown error");
        return false;
    }
    Log::info("Accessibility bus switched on; meeting apps started before it show their controls "
              "only after a restart");
    return true;
}

} // namespace tallyvox::linux_services

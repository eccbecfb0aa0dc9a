#include "app/linux/DesktopNotifications.h"

#include "app/linux/PrivateBus.h"

#include <gio/gio.h>

namespace tallyvox::linux_services {

namespace {

constexpr const char* service = "org.freedesktop.Notifications";
constexpr const char* path = "/org/freedesktop/Notifications";

// A private connection of our own: GIO's shared one would end the whole process when the
// bus goes away. Only when a session bus is announced, as asking for one otherwise may try
// to launch it.
GObjectPtr<GDBusConnection> sessionBus() {
    if (!g_getenv("DBUS_SESSION_BUS_ADDRESS") && !g_getenv("XDG_RUNTIME_DIR"))
        return nullptr;
    return privateBus(G_BUS_TYPE_SESSION);
}

} // namespace

bool DesktopNotifications::available() {
    auto bus = sessionBus();
    if (!bus)
        return false;
    VariantPtr reply(g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", service), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr));
    gboolean owned = FALSE;
    if (reply)
        g_variant_get(reply.get(), "(b)", &owned);
    return owned;
}

std::optional<std::string> DesktopNotifications::post(const std::string& title,
                                                      const std::string& body) {
    auto bus = sessionBus();
    if (!bus)
        return std::string("no session bus");
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("tallyvox"));
    GError* failure = nullptr;
    VariantPtr reply(g_dbus_connection_call_sync(
        bus.get(), service, path, service, "Notify",
        g_variant_new("(susssasa{sv}i)", "Tallyvox", 0u, "", title.c_str(), body.c_str(), &actions,
                      &hints, -1),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &failure));
    ErrorPtr error(failure);
    if (!reply)
        return std::string(error ? error->message : "unknown error");
    return std::nullopt;
}

} // namespace tallyvox::linux_services

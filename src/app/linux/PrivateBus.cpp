#include "app/linux/PrivateBus.h"

namespace tallyvox::linux_services {

GDBusConnection* privateBus(GBusType type) {
    gchar* address = g_dbus_address_get_for_bus_sync(type, nullptr, nullptr);
    if (!address)
        return nullptr;
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    g_free(address);
    return bus;
}

} // namespace tallyvox::linux_services

#include "app/linux/PrivateBus.h"

namespace tallyvox::linux_services {

GObjectPtr<GDBusConnection> privateBus(GBusType type) {
    TextPtr address(g_dbus_address_get_for_bus_sync(type, nullptr, nullptr));
    if (!address)
        return nullptr;
    return GObjectPtr<GDBusConnection>(g_dbus_connection_new_for_address_sync(
        address.get(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr));
}

} // namespace tallyvox::linux_services

#pragma once

#include "app/linux/GlibHandles.h"

namespace tallyvox::linux_services {

// A connection of our own to the session or system bus, or null when there is none. It
// does not end the process when the bus goes away (GIO's shared connections do).
GObjectPtr<GDBusConnection> privateBus(GBusType type);

} // namespace tallyvox::linux_services

#pragma once

#include <gio/gio.h>

namespace tallyvox::linux_services {

inline constexpr const char* login1 = "org.freedesktop.login1";
inline constexpr const char* login1Path = "/org/freedesktop/login1";
inline constexpr const char* login1Manager = "org.freedesktop.login1.Manager";

// Asks logind for a "delay" inhibitor of `what` ("sleep", "shutdown"): the system waits (up to
// logind's limit) until the returned descriptor is closed. -1 when logind gives none; the
// reason is logged at debug level.
int takeDelayInhibitor(GDBusConnection* systemBus, const char* what, const char* why);

} // namespace tallyvox::linux_services

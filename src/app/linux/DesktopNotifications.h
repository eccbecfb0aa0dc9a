#pragma once

#include <optional>
#include <string>

namespace tallyvox::linux_services {

// Notifications through the desktop's org.freedesktop.Notifications service on the
// session bus. Without a session bus (or without the service) nothing is shown.
class DesktopNotifications {
public:
    // Whether a notification service answers on the session bus.
    static bool available();
    // Shows one notification; answers the error description when it could not be shown.
    static std::optional<std::string> post(const std::string& title, const std::string& body);
};

} // namespace tallyvox::linux_services

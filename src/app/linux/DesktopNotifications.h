#pragma once

#include "app/linux/GlibHandles.h"
#include "app/linux/GlibThread.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace tallyvox::linux_services {

// Notifications through the desktop's org.freedesktop.Notifications service on the
// session bus. Without a session bus (or without the service) nothing is shown.
class DesktopNotifications {
public:
    // Whether a notification service answers on the session bus.
    static bool available();
    // Shows one notification on a connection of its own; nothing follows what becomes of it.
    static std::optional<std::string> post(const std::string& title, const std::string& body);

    // A connection kept open, so that a click on a notification shown through it is heard:
    // many notification servers send ActionInvoked only to the connection that posted.
    DesktopNotifications();
    ~DesktopNotifications();
    DesktopNotifications(const DesktopNotifications&) = delete;
    DesktopNotifications& operator=(const DesktopNotifications&) = delete;

    // Shows one notification whose click ("default" action) calls the click handler;
    // answers the error description when it could not be shown.
    std::optional<std::string> show(const std::string& title, const std::string& body);
    // Called on the GLib thread when one of our notifications is clicked; empty: nothing.
    void setOnClicked(std::function<void()> onClicked);
    // The notifications shown that the server has not yet reported closed.
    std::size_t openCount() const;

private:
    bool connect();
    void disconnect();
    void onSignal(const std::string& name, GVariant* parameters);

    GlibThread glib_;
    GObjectPtr<GDBusConnection> bus_;
    unsigned actionSubscription_ = 0;
    unsigned closedSubscription_ = 0;
    mutable std::mutex mutex_;
    std::function<void()> onClicked_;
    // Ids the server gave our notifications, oldest first; a server that never reports a
    // notification closed cannot make the list grow without end.
    std::deque<std::uint32_t> open_;
};

} // namespace tallyvox::linux_services

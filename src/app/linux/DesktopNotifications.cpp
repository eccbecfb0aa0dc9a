#include "app/linux/DesktopNotifications.h"

#include "app/linux/PrivateBus.h"

#include "base/CallbackBarrier.h"
#include "base/Log.h"

#include <gio/gio.h>

#include <algorithm>
#include <utility>
#include <variant>

namespace tallyvox::linux_services {

namespace {

constexpr const char* service = "org.freedesktop.Notifications";
constexpr const char* path = "/org/freedesktop/Notifications";
// The action a server invokes when the notification itself is clicked.
constexpr const char* defaultAction = "default";
constexpr std::size_t mostRemembered = 64;

// A private connection of our own: GIO's shared one would end the whole process when the
// bus goes away. Only when a session bus is announced, as asking for one otherwise may try
// to launch it.
GObjectPtr<GDBusConnection> sessionBus() {
    if (!g_getenv("DBUS_SESSION_BUS_ADDRESS") && !g_getenv("XDG_RUNTIME_DIR"))
        return nullptr;
    return privateBus(G_BUS_TYPE_SESSION);
}

// Notify on `bus`; the id the server gave the notification, or the error.
std::variant<std::uint32_t, std::string> notify(GDBusConnection* bus, const std::string& title,
                                                const std::string& body, bool clickable) {
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    if (clickable) {
        // Key and label: servers that show no buttons still invoke it on a click.
        g_variant_builder_add(&actions, "s", defaultAction);
        g_variant_builder_add(&actions, "s", "Open Tallyvox");
    }
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("tallyvox"));
    GError* failure = nullptr;
    VariantPtr reply(g_dbus_connection_call_sync(
        bus, service, path, service, "Notify",
        g_variant_new("(susssasa{sv}i)", "Tallyvox", 0u, "", title.c_str(), body.c_str(), &actions,
                      &hints, -1),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &failure));
    ErrorPtr error(failure);
    if (!reply)
        return std::string(error ? error->message : "unknown error");
    guint32 id = 0;
    g_variant_get(reply.get(), "(u)", &id);
    return id;
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
    auto result = notify(bus.get(), title, body, false);
    if (auto* error = std::get_if<std::string>(&result))
        return *error;
    return std::nullopt;
}

DesktopNotifications::DesktopNotifications() {
    glib_.sync([this] { connect(); });
}

DesktopNotifications::~DesktopNotifications() {
    glib_.sync([this] { disconnect(); });
}

// On the GLib thread, so that the signals arrive there.
bool DesktopNotifications::connect() {
    if (bus_ && !g_dbus_connection_is_closed(bus_.get()))
        return true;
    disconnect();
    bus_ = sessionBus();
    if (!bus_)
        return false;
    auto subscribe = [this](const char* signal) {
        return g_dbus_connection_signal_subscribe(
            bus_.get(), service, service, signal, path, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
               GVariant* parameters, gpointer self) {
                callbackBarrier("notification signal", [&] {
                    static_cast<DesktopNotifications*>(self)->onSignal(name, parameters);
                });
            },
            this, nullptr);
    };
    actionSubscription_ = subscribe("ActionInvoked");
    closedSubscription_ = subscribe("NotificationClosed");
    return true;
}

void DesktopNotifications::disconnect() {
    if (!bus_)
        return;
    for (unsigned* subscription : {&actionSubscription_, &closedSubscription_})
        if (*subscription)
            g_dbus_connection_signal_unsubscribe(bus_.get(), std::exchange(*subscription, 0u));
    bus_.reset();
}

std::optional<std::string> DesktopNotifications::show(const std::string& title,
                                                      const std::string& body) {
    std::optional<std::string> failed;
    // On the GLib thread: a click that arrives at once is then handled only after its id
    // is known.
    glib_.sync([&] {
        if (!connect()) {
            failed = "no session bus";
            return;
        }
        auto result = notify(bus_.get(), title, body, true);
        if (auto* error = std::get_if<std::string>(&result)) {
            failed = *error;
            return;
        }
        std::lock_guard lock(mutex_);
        open_.push_back(std::get<std::uint32_t>(result));
        if (open_.size() > mostRemembered)
            open_.pop_front();
    });
    return failed;
}

void DesktopNotifications::setOnClicked(std::function<void()> onClicked) {
    std::lock_guard lock(mutex_);
    onClicked_ = std::move(onClicked);
}

std::size_t DesktopNotifications::openCount() const {
    std::lock_guard lock(mutex_);
    return open_.size();
}

void DesktopNotifications::onSignal(const std::string& name, GVariant* parameters) {
    std::function<void()> clicked;
    {
        std::lock_guard lock(mutex_);
        guint32 id = 0;
        if (name == "ActionInvoked" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
            const gchar* action = nullptr;
            g_variant_get(parameters, "(u&s)", &id, &action);
            bool ours = std::find(open_.begin(), open_.end(), id) != open_.end();
            if (ours && std::string(action) == defaultAction)
                clicked = onClicked_;
        } else if (name == "NotificationClosed" &&
                   g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
            guint32 reason = 0;
            g_variant_get(parameters, "(uu)", &id, &reason);
            open_.erase(std::remove(open_.begin(), open_.end(), id), open_.end());
        }
    }
    // Outside the lock: the handler may post, show or change the handler.
    if (clicked)
        clicked();
}

} // namespace tallyvox::linux_services

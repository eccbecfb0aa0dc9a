#pragma once
// A private dbus-daemon and small stand-ins for desktop services registered on it, for the
// tests of the desktop's D-Bus services.
#include "app/linux/GlibThread.h"
#include "app/linux/PrivateBus.h"

#include "Waiting.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tallyvox::testing {

// A dbus-daemon of the test's own, stopped with the test.
class BusDaemon {
public:
    BusDaemon() {
        FILE* out = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
        if (!out)
            return;
        char line[512];
        if (std::fgets(line, sizeof line, out))
            address_ = std::string(line).substr(0, std::string(line).find('\n'));
        if (std::fgets(line, sizeof line, out))
            pid_ = std::atoi(line);
        ::pclose(out);
    }
    ~BusDaemon() {
        if (pid_ > 0)
            ::kill(pid_, SIGTERM);
    }
    BusDaemon(const BusDaemon&) = delete;
    BusDaemon& operator=(const BusDaemon&) = delete;
    bool ok() const { return !address_.empty() && pid_ > 0; }
    const std::string& address() const { return address_; }

private:
    std::string address_;
    int pid_ = 0;
};

// Owns a well-known name and serves one object on its own GLib thread.
class FakeService {
public:
    using Handler = std::function<void(const std::string& method, GVariant* parameters,
                                       GDBusMethodInvocation* invocation)>;
    // A property's value, a new reference; nullptr for none.
    using Getter = std::function<GVariant*(const std::string& property)>;

    FakeService(GBusType type, const char* name, const char* path, const char* xml, Handler handler,
                Getter getter = nullptr)
        : handler_(std::move(handler))
        , getter_(std::move(getter)) {
        glib_.sync([&] {
            bus_ = linux_services::privateBus(type).release();
            if (!bus_)
                return;
            GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(xml, nullptr);
            static const GDBusInterfaceVTable vtable = {
                [](GDBusConnection*, const gchar* sender, const gchar*, const gchar*,
                   const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                   gpointer self) {
                    auto* service = static_cast<FakeService*>(self);
                    service->lastCaller_ = sender ? sender : "";
                    service->handler_(method, parameters, invocation);
                },
                [](GDBusConnection*, const gchar*, const gchar*, const gchar*,
                   const gchar* property, GError** error, gpointer self) -> GVariant* {
                    auto* service = static_cast<FakeService*>(self);
                    GVariant* value = service->getter_ ? service->getter_(property) : nullptr;
                    if (!value)
                        g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "%s",
                                    property);
                    return value;
                },
                nullptr,
                {}};
            registration_ = g_dbus_connection_register_object(bus_, path, node->interfaces[0],
                                                              &vtable, this, nullptr, nullptr);
            g_dbus_node_info_unref(node);
            GVariant* reply = g_dbus_connection_call_sync(
                bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "RequestName", g_variant_new("(su)", name, 4u), G_VARIANT_TYPE("(u)"),
                G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
            if (reply)
                g_variant_unref(reply);
        });
    }
    ~FakeService() {
        glib_.sync([this] {
            if (bus_) {
                g_dbus_connection_unregister_object(bus_, registration_);
                g_dbus_connection_close_sync(bus_, nullptr, nullptr);
                g_object_unref(bus_);
            }
        });
    }
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    // Emits a signal to everyone, or only to the last caller (as some servers do).
    void emit(const char* path, const char* interface, const char* signal, GVariant* args,
              bool toLastCallerOnly = false) {
        glib_.sync([&] {
            const char* to = toLastCallerOnly ? lastCaller_.c_str() : nullptr;
            g_dbus_connection_emit_signal(bus_, to, path, interface, signal, args, nullptr);
            g_dbus_connection_flush_sync(bus_, nullptr, nullptr);
        });
    }

private:
    Handler handler_;
    Getter getter_;
    linux_services::GlibThread glib_;
    GDBusConnection* bus_ = nullptr;
    unsigned registration_ = 0;
    std::string lastCaller_;
};

// Waiting.h's wait, the other way round and with a short default for what the bus answers.
template <class Predicate> bool waitUntil(Predicate done, double seconds = 5) {
    return waitFor(seconds, std::move(done));
}

// True once the other end of a pipe has been closed (and nothing is left to read).
inline bool closedByPeer(int readEnd) {
    pollfd p{readEnd, POLLIN, 0};
    char byte;
    return ::poll(&p, 1, 0) == 1 && ::read(readEnd, &byte, 1) == 0;
}

// The desktop notification service, as much of it as the app uses.
constexpr const char* notificationsXml = R"(<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
      <arg type="u" direction="out"/>
    </method>
    <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
    <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
  </interface></node>)";

constexpr const char* logindXml = R"(<node>
  <interface name="org.freedesktop.login1.Manager">
    <method name="Inhibit">
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="h" direction="out"/>
    </method>
    <signal name="PrepareForShutdown"><arg type="b"/></signal>
    <signal name="PrepareForSleep"><arg type="b"/></signal>
  </interface></node>)";

constexpr const char* login1Path = "/org/freedesktop/login1";
constexpr const char* login1Manager = "org.freedesktop.login1.Manager";

// logind as far as inhibitors go, on the system bus of the test: each Inhibit call gets the
// write end of a pipe whose read end the test keeps, so it sees when the app lets go.
class FakeLogind {
public:
    FakeLogind()
        : service_(G_BUS_TYPE_SYSTEM, "org.freedesktop.login1", login1Path, logindXml,
                   [this](const std::string&, GVariant* args, GDBusMethodInvocation* call) {
                       inhibit(args, call);
                   }) {}
    ~FakeLogind() {
        for (auto& held : inhibitors_)
            ::close(held.readEnd);
    }

    // "what/mode" of each Inhibit call, in order.
    std::vector<std::string> requests() {
        std::lock_guard lock(mutex_);
        std::vector<std::string> all;
        for (auto& held : inhibitors_)
            all.push_back(held.request);
        return all;
    }
    // The read end of the `nth` inhibitor of that "what/mode" (from 0), or -1.
    int readEnd(const std::string& request, std::size_t nth = 0) {
        std::lock_guard lock(mutex_);
        for (auto& held : inhibitors_)
            if (held.request == request && nth-- == 0)
                return held.readEnd;
        return -1;
    }
    // The bus connection each Inhibit call came from, in order.
    std::vector<std::string> callers() {
        std::lock_guard lock(mutex_);
        std::vector<std::string> all;
        for (auto& held : inhibitors_)
            all.push_back(held.caller);
        return all;
    }
    std::size_t count(const std::string& request) {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (auto& held : inhibitors_)
            n += held.request == request;
        return n;
    }
    void prepareForShutdown(bool active) {
        service_.emit(login1Path, login1Manager, "PrepareForShutdown",
                      g_variant_new("(b)", active ? TRUE : FALSE));
    }
    void prepareForSleep(bool active) {
        service_.emit(login1Path, login1Manager, "PrepareForSleep",
                      g_variant_new("(b)", active ? TRUE : FALSE));
    }

private:
    struct Held {
        std::string request;
        int readEnd;
        std::string caller;
    };
    void inhibit(GVariant* args, GDBusMethodInvocation* call) {
        const gchar *what, *who, *why, *mode;
        g_variant_get(args, "(&s&s&s&s)", &what, &who, &why, &mode);
        int ends[2];
        // Close-on-exec: a process the test starts while the reply is still on its way must
        // not inherit the app's end, or the pipe would outlive the app.
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            g_dbus_method_invocation_return_dbus_error(call, "org.example.Failed", "no pipe");
            return;
        }
        GUnixFDList* fds = g_unix_fd_list_new_from_array(&ends[1], 1);
        {
            std::lock_guard lock(mutex_);
            const gchar* caller = g_dbus_method_invocation_get_sender(call);
            inhibitors_.push_back({std::string(what) + "/" + mode, ends[0], caller ? caller : ""});
        }
        g_dbus_method_invocation_return_value_with_unix_fd_list(call, g_variant_new("(h)", 0), fds);
        g_object_unref(fds);
    }

    std::mutex mutex_;
    std::vector<Held> inhibitors_;
    FakeService service_;
};

// A tray host as KDE Plasma, GNOME's AppIndicator extension and others run it: the watcher
// that items register with. It records the service names that registered.
class FakeStatusNotifierWatcher {
public:
    FakeStatusNotifierWatcher()
        : service_(
              G_BUS_TYPE_SESSION, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", xml,
              [this](const std::string& method, GVariant* args, GDBusMethodInvocation* call) {
                  if (method == "RegisterStatusNotifierItem") {
                      const gchar* item = nullptr;
                      g_variant_get(args, "(&s)", &item);
                      std::lock_guard lock(mutex_);
                      // An item may give its object path instead of a name: then the caller's.
                      items_.push_back(
                          item && *item != '/' ? item : g_dbus_method_invocation_get_sender(call));
                  }
                  g_dbus_method_invocation_return_value(call, nullptr);
              },
              [this](const std::string& property) -> GVariant* {
                  if (property == "IsStatusNotifierHostRegistered")
                      return g_variant_new_boolean(TRUE);
                  if (property == "ProtocolVersion")
                      return g_variant_new_int32(0);
                  if (property == "RegisteredStatusNotifierItems") {
                      std::lock_guard lock(mutex_);
                      GVariantBuilder names;
                      g_variant_builder_init(&names, G_VARIANT_TYPE("as"));
                      for (const auto& item : items_)
                          g_variant_builder_add(&names, "s", item.c_str());
                      return g_variant_builder_end(&names);
                  }
                  return nullptr;
              }) {}

    std::vector<std::string> items() {
        std::lock_guard lock(mutex_);
        return items_;
    }

private:
    static constexpr const char* xml = R"(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface></node>)";

    std::mutex mutex_;
    std::vector<std::string> items_;
    FakeService service_;
};

} // namespace tallyvox::testing

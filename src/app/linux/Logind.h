#pragma once

#include "app/linux/GlibThread.h"

#include <functional>
#include <map>
#include <memory>
#include <string>

// GLib stays out of this header: the desktop app includes it without GIO.
typedef struct _GDBusConnection GDBusConnection;

namespace tallyvox::linux_services {

// The process's connection to logind on the system bus, with one subscription to its
// manager's signals (PrepareForSleep, PrepareForShutdown) for everyone who follows them, and
// its own GLib thread they arrive on. Only logind's signals are heard, not those of any other
// program on the bus. Without a system bus it is not connected, and nothing is heard.
class Logind {
public:
    // The one in use, or a new one when nobody holds it (or it is not connected: the bus may
    // have come up since). Gone once its last holder lets go.
    static std::shared_ptr<Logind> shared();

    Logind();
    ~Logind();
    Logind(const Logind&) = delete;
    Logind& operator=(const Logind&) = delete;

    bool isConnected() const { return bus_ != nullptr; }

    // `heard(active)` is called on the GLib thread for each of logind's `signal` (its one
    // boolean, false when it has none). Answers a number for stopListening.
    unsigned listen(std::string signal, std::function<void(bool active)> heard);
    // Once this returns, that listener is not called again. Callable from its own call.
    void stopListening(unsigned listener);

    // A "delay" inhibitor of `what` ("sleep", "shutdown"): its descriptor, -1 when logind
    // gives none. Call it on the GLib thread (in sync, or in a listener).
    int takeDelayInhibitor(const char* what, const char* why);

    // Runs `task` on the GLib thread, in turn with the listeners, and waits for it.
    void sync(const std::function<void()>& task) { glib_.sync(task); }

private:
    struct Listener {
        std::string signal;
        std::function<void(bool)> heard;
    };

    void dispatch(const std::string& signal, bool active);

    GlibThread glib_;
    // Plain function deleter: GLib's headers stay out of this one.
    std::unique_ptr<GDBusConnection, void (*)(GDBusConnection*)> bus_;
    unsigned subscription_ = 0;
    // Touched on the GLib thread only.
    std::map<unsigned, Listener> listeners_;
    unsigned lastListener_ = 0;
};

} // namespace tallyvox::linux_services

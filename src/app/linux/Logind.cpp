#include "app/linux/Logind.h"

#include "app/linux/LogindInhibitor.h"
#include "app/linux/PrivateBus.h"
#include "base/CallbackBarrier.h"

#include <gio/gio.h>

#include <mutex>
#include <vector>

namespace tallyvox::linux_services {

namespace {
void releaseBus(GDBusConnection* bus) {
    g_object_unref(bus);
}
} // namespace

std::shared_ptr<Logind> Logind::shared() {
    static std::mutex mutex;
    static std::weak_ptr<Logind> current;
    std::lock_guard lock(mutex);
    if (auto logind = current.lock(); logind && logind->isConnected())
        return logind;
    auto logind = std::make_shared<Logind>();
    current = logind;
    return logind;
}

Logind::Logind()
    : bus_(nullptr, &releaseBus) {
    glib_.sync([this] {
        bus_.reset(privateBus(G_BUS_TYPE_SYSTEM).release());
        if (!bus_)
            return;
        // Every signal of the manager from logind, whichever of them is followed now or later.
        subscription_ = g_dbus_connection_signal_subscribe(
            bus_.get(), login1, login1Manager, nullptr, login1Path, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* signal,
               GVariant* parameters, gpointer self) {
                callbackBarrier("logind signal", [&] {
                    gboolean active = FALSE;
                    if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)")))
                        g_variant_get(parameters, "(b)", &active);
                    static_cast<Logind*>(self)->dispatch(signal, active);
                });
            },
            this, nullptr);
    });
}

Logind::~Logind() {
    glib_.sync([this] {
        if (bus_ && subscription_)
            g_dbus_connection_signal_unsubscribe(bus_.get(), subscription_);
        bus_.reset();
        listeners_.clear();
    });
}

unsigned Logind::listen(std::string signal, std::function<void(bool)> heard) {
    unsigned number = 0;
    glib_.sync([&] {
        number = ++lastListener_;
        listeners_.emplace(number, Listener{std::move(signal), std::move(heard)});
    });
    return number;
}

void Logind::stopListening(unsigned listener) {
    glib_.sync([&] { listeners_.erase(listener); });
}

int Logind::takeDelayInhibitor(const char* what, const char* why) {
    return linux_services::takeDelayInhibitor(bus_.get(), what, why);
}

void Logind::dispatch(const std::string& signal, bool active) {
    std::vector<unsigned> hearing;
    for (const auto& [number, listener] : listeners_)
        if (listener.signal == signal)
            hearing.push_back(number);
    for (unsigned number : hearing) {
        // One called before may have stopped it; a copy, for one that stops itself.
        auto found = listeners_.find(number);
        if (found == listeners_.end())
            continue;
        auto heard = found->second.heard;
        callbackBarrier(signal.c_str(), [&] { heard(active); });
    }
}

} // namespace tallyvox::linux_services

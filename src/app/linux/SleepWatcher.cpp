#include "app/linux/SleepWatcher.h"

#include "app/linux/LogindInhibitor.h"
#include "app/linux/PrivateBus.h"
#include "base/CallbackBarrier.h"
#include "base/Log.h"

#include <gio/gio.h>
#include <unistd.h>

namespace tallyvox::linux_services {

SleepWatcher::SleepWatcher(std::function<void(std::function<void()>)> willSleep,
                           std::function<void()> didWake)
    : willSleep_(std::move(willSleep))
    , didWake_(std::move(didWake)) {
    glib_.sync([this] {
        bus_ = privateBus(G_BUS_TYPE_SYSTEM);
        if (!bus_)
            return;
        subscription_ = g_dbus_connection_signal_subscribe(
            bus_.get(), login1, login1Manager, "PrepareForSleep", login1Path, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
               GVariant* parameters, gpointer self) {
                callbackBarrier("logind PrepareForSleep", [&] {
                    gboolean sleeping = FALSE;
                    if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)")))
                        g_variant_get(parameters, "(b)", &sleeping);
                    static_cast<SleepWatcher*>(self)->onPrepareForSleep(sleeping);
                });
            },
            this, nullptr);
        takeInhibitor();
    });
}

SleepWatcher::~SleepWatcher() {
    *alive_ = false;
    glib_.sync([this] {
        if (bus_ && subscription_)
            g_dbus_connection_signal_unsubscribe(bus_.get(), subscription_);
        releaseInhibitor();
        bus_.reset();
    });
}

bool SleepWatcher::holdsInhibitor() const {
    std::lock_guard lock(mutex_);
    return inhibitor_ >= 0;
}

void SleepWatcher::takeInhibitor() {
    if (!bus_ || holdsInhibitor())
        return;
    int fd = takeDelayInhibitor(bus_.get(), "sleep", "Pausing the transcript before sleep");
    if (fd < 0)
        return;
    std::lock_guard lock(mutex_);
    inhibitor_ = fd;
}

void SleepWatcher::releaseInhibitor() {
    std::lock_guard lock(mutex_);
    if (inhibitor_ >= 0)
        ::close(inhibitor_);
    inhibitor_ = -1;
}

void SleepWatcher::onPrepareForSleep(bool sleeping) {
    if (!sleeping) {
        takeInhibitor();
        if (didWake_)
            didWake_();
        return;
    }
    if (!willSleep_) {
        releaseInhibitor();
        return;
    }
    std::weak_ptr<bool> alive = alive_;
    willSleep_([this, alive] {
        // Closing our descriptor tells logind that we are ready; safe from any thread.
        if (auto stillHere = alive.lock(); stillHere && *stillHere)
            releaseInhibitor();
    });
}

} // namespace tallyvox::linux_services

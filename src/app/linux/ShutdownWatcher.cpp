#include "app/linux/ShutdownWatcher.h"

#include "app/linux/GlibHandles.h"
#include "app/linux/LogindInhibitor.h"
#include "app/linux/PrivateBus.h"
#include "base/CallbackBarrier.h"
#include "base/Log.h"

#include <gio/gio.h>
#include <unistd.h>

#include <utility>

namespace tallyvox::linux_services {

namespace {
// Every inhibitor, when `release` is asked for "whichever is held".
constexpr unsigned anyInhibitor = 0;
} // namespace

void ShutdownWatcher::Inhibitor::renumber() {
    if (++number == anyInhibitor)
        ++number;
}

void ShutdownWatcher::Inhibitor::release(unsigned which) {
    std::lock_guard lock(mutex);
    if (fd < 0 || (which != anyInhibitor && which != number))
        return;
    // Closing our descriptor tells logind that we are ready.
    ::close(fd);
    fd = -1;
}

ShutdownWatcher::ShutdownWatcher(std::function<void(std::function<void()>)> willShutDown)
    : willShutDown_(std::move(willShutDown)) {
    glib_.sync([this] {
        bus_ = privateBus(G_BUS_TYPE_SYSTEM).release();
        if (!bus_)
            return;
        subscription_ = g_dbus_connection_signal_subscribe(
            bus_, login1, login1Manager, "PrepareForShutdown", login1Path, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
               GVariant* parameters, gpointer self) {
                callbackBarrier("logind PrepareForShutdown", [&] {
                    gboolean shuttingDown = FALSE;
                    if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)")))
                        g_variant_get(parameters, "(b)", &shuttingDown);
                    static_cast<ShutdownWatcher*>(self)->onPrepareForShutdown(shuttingDown);
                });
            },
            this, nullptr);
        takeInhibitor();
    });
}

ShutdownWatcher::~ShutdownWatcher() {
    glib_.sync([this] {
        if (bus_ && subscription_)
            g_dbus_connection_signal_unsubscribe(bus_, subscription_);
        inhibitor_->release(anyInhibitor);
        if (bus_)
            g_object_unref(std::exchange(bus_, nullptr));
    });
}

bool ShutdownWatcher::holdsInhibitor() const {
    std::lock_guard lock(inhibitor_->mutex);
    return inhibitor_->fd >= 0;
}

void ShutdownWatcher::takeInhibitor() {
    if (!bus_ || holdsInhibitor())
        return;
    int fd = takeDelayInhibitor(bus_, "shutdown", "Saving the transcript before shutdown");
    if (fd < 0)
        return;
    std::lock_guard lock(inhibitor_->mutex);
    inhibitor_->fd = fd;
    inhibitor_->renumber();
}

void ShutdownWatcher::onPrepareForShutdown(bool shuttingDown) {
    if (!shuttingDown) {
        Log::info("The shutdown was called off");
        {
            // Still held (the save has not reported back): keep it for the next shutdown,
            // out of reach of the pending `done`.
            std::lock_guard lock(inhibitor_->mutex);
            if (inhibitor_->fd >= 0) {
                inhibitor_->renumber();
                return;
            }
        }
        takeInhibitor();
        return;
    }
    Log::info("The system is shutting down");
    unsigned number = 0;
    {
        std::lock_guard lock(inhibitor_->mutex);
        number = inhibitor_->number;
    }
    if (!willShutDown_) {
        inhibitor_->release(number);
        return;
    }
    willShutDown_([inhibitor = std::weak_ptr<Inhibitor>(inhibitor_), number] {
        if (auto held = inhibitor.lock())
            held->release(number);
    });
}

} // namespace tallyvox::linux_services

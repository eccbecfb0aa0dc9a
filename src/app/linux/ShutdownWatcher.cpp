#include "app/linux/ShutdownWatcher.h"

#include "base/Log.h"

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
    : willShutDown_(std::move(willShutDown))
    , logind_(Logind::shared()) {
    if (!logind_->isConnected())
        return;
    listening_ = logind_->listen("PrepareForShutdown",
                                 [this](bool shuttingDown) { onPrepareForShutdown(shuttingDown); });
    logind_->sync([this] { takeInhibitor(); });
}

ShutdownWatcher::~ShutdownWatcher() {
    if (listening_)
        logind_->stopListening(listening_);
    inhibitor_->release(anyInhibitor);
}

bool ShutdownWatcher::isConnected() const {
    return logind_->isConnected();
}

bool ShutdownWatcher::holdsInhibitor() const {
    std::lock_guard lock(inhibitor_->mutex);
    return inhibitor_->fd >= 0;
}

void ShutdownWatcher::takeInhibitor() {
    if (holdsInhibitor())
        return;
    int fd = logind_->takeDelayInhibitor("shutdown", "Saving the transcript before shutdown");
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

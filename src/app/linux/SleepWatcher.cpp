#include "app/linux/SleepWatcher.h"

#include <unistd.h>

namespace tallyvox::linux_services {

SleepWatcher::SleepWatcher(std::function<void(std::function<void()>)> willSleep,
                           std::function<void()> didWake)
    : willSleep_(std::move(willSleep))
    , didWake_(std::move(didWake))
    , logind_(Logind::shared()) {
    if (!logind_->isConnected())
        return;
    listening_ =
        logind_->listen("PrepareForSleep", [this](bool sleeping) { onPrepareForSleep(sleeping); });
    logind_->sync([this] { takeInhibitor(); });
}

SleepWatcher::~SleepWatcher() {
    *alive_ = false;
    if (listening_)
        logind_->stopListening(listening_);
    releaseInhibitor();
}

bool SleepWatcher::isConnected() const {
    return logind_->isConnected();
}

bool SleepWatcher::holdsInhibitor() const {
    std::lock_guard lock(mutex_);
    return inhibitor_ >= 0;
}

void SleepWatcher::takeInhibitor() {
    if (holdsInhibitor())
        return;
    int fd = logind_->takeDelayInhibitor("sleep", "Pausing the transcript before sleep");
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

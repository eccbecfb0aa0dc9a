#pragma once

#include "app/linux/Logind.h"

#include <functional>
#include <memory>
#include <mutex>

namespace tallyvox::linux_services {

// Follows logind's PrepareForSleep signal on the system bus. While awake it holds a
// "delay" sleep inhibitor, so the system waits (up to logind's limit) until the session
// is paused; the inhibitor is released once willSleep has run and taken again on wake.
// Without a system bus or logind it does nothing. It shares the process's logind connection.
class SleepWatcher {
public:
    // `willSleep(done)` must call `done` once audio is paused (from any thread);
    // `didWake` is called after the system resumed. Both are called on logind's GLib thread:
    // hop to your own main thread inside them.
    SleepWatcher(std::function<void(std::function<void()> done)> willSleep,
                 std::function<void()> didWake);
    ~SleepWatcher();
    SleepWatcher(const SleepWatcher&) = delete;
    SleepWatcher& operator=(const SleepWatcher&) = delete;

    bool isConnected() const;
    bool holdsInhibitor() const;

private:
    void takeInhibitor();
    void releaseInhibitor();
    void onPrepareForSleep(bool sleeping);

    std::function<void(std::function<void()>)> willSleep_;
    std::function<void()> didWake_;
    std::shared_ptr<Logind> logind_;
    unsigned listening_ = 0;
    mutable std::mutex mutex_;
    int inhibitor_ = -1;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace tallyvox::linux_services

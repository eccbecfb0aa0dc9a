#pragma once

#include "app/linux/Logind.h"

#include <functional>
#include <memory>
#include <mutex>

namespace tallyvox::linux_services {

// Follows logind's PrepareForShutdown signal on the system bus. It holds a "delay" shutdown
// inhibitor, so a power-off or reboot waits (up to logind's InhibitDelayMaxSec) while the
// running transcript is finished and saved; the inhibitor is released once the handler says
// it is done. If the shutdown is called off, the app holds on (again) for the next one. Without a
// system bus or logind it does nothing. It shares the process's logind connection.
class ShutdownWatcher {
public:
    // `willShutDown(done)` must call `done` once the transcript is saved (from any thread,
    // at most once). It is called on logind's GLib thread: hop to your own main thread inside it.
    explicit ShutdownWatcher(std::function<void(std::function<void()> done)> willShutDown);
    ~ShutdownWatcher();
    ShutdownWatcher(const ShutdownWatcher&) = delete;
    ShutdownWatcher& operator=(const ShutdownWatcher&) = delete;

    bool isConnected() const;
    bool holdsInhibitor() const;

private:
    // The descriptor logind handed us, shared with the `done` callbacks, which may run on
    // any thread and after this watcher is gone. Each inhibitor taken gets a new number, so
    // a late `done` never releases the one taken after a cancelled shutdown.
    struct Inhibitor {
        std::mutex mutex;
        int fd = -1;
        unsigned number = 0;
        // With `mutex` held.
        void renumber();
        void release(unsigned which);
    };

    void takeInhibitor();
    void onPrepareForShutdown(bool shuttingDown);

    std::function<void(std::function<void()>)> willShutDown_;
    std::shared_ptr<Inhibitor> inhibitor_ = std::make_shared<Inhibitor>();
    std::shared_ptr<Logind> logind_;
    unsigned listening_ = 0;
};

} // namespace tallyvox::linux_services

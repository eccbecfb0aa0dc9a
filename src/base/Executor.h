#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace tallyvox {

// Cancels a delayed or repeating task. Copies share one flag; a default handle cancels nothing.
class TaskHandle {
public:
    TaskHandle() = default;
    static TaskHandle make() {
        TaskHandle h;
        h.cancelled_ = std::make_shared<std::atomic<bool>>(false);
        return h;
    }
    void cancel() const {
        if (cancelled_)
            cancelled_->store(true);
    }
    bool isCancelled() const { return cancelled_ && cancelled_->load(); }
    bool isActive() const { return cancelled_ && !cancelled_->load(); }

private:
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

// Where work runs: the main loop, a serial queue's thread, or a test's virtual clock.
class Executor {
public:
    using Task = std::function<void()>;
    using Duration = std::chrono::duration<double>;

    virtual ~Executor() = default;

    void post(Task task) { schedule(Duration::zero(), std::move(task)); }
    TaskHandle postAfter(Duration delay, Task task);
    // First run after `interval` (or `firstDelay` when given), then every `interval`.
    TaskHandle repeating(Duration interval, Task task, Duration firstDelay = Duration(-1));

protected:
    // Runs `task` once, no sooner than `delay` from now. Must be safe to call from any thread.
    virtual void schedule(Duration delay, Task task) = 0;
};

} // namespace tallyvox

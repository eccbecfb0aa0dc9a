#include "base/Executor.h"

namespace tallyvox {

TaskHandle Executor::postAfter(Duration delay, Task task) {
    auto handle = TaskHandle::make();
    schedule(delay, [handle, task = std::move(task)] {
        if (!handle.isCancelled())
            task();
    });
    return handle;
}

namespace {
// Only the queued next tick holds the repeater, so a cancelled timer frees itself at its
// next due time without any cycle.
struct Repeater : std::enable_shared_from_this<Repeater> {
    Executor* executor;
    std::function<void(Executor::Duration, Executor::Task)> schedule;
    Executor::Duration interval;
    Executor::Task task;
    TaskHandle handle;

    void arm(Executor::Duration delay) {
        schedule(delay, [self = shared_from_this()] { self->fire(); });
    }
    void fire() {
        if (handle.isCancelled())
            return;
        task();
        if (!handle.isCancelled())
            arm(interval);
    }
};
} // namespace

TaskHandle Executor::repeating(Duration interval, Task task, Duration firstDelay) {
    auto repeater = std::make_shared<Repeater>();
    repeater->executor = this;
    repeater->schedule = [this](Duration d, Task t) { schedule(d, std::move(t)); };
    repeater->interval = interval;
    repeater->task = std::move(task);
    repeater->handle = TaskHandle::make();
    repeater->arm(firstDelay < Duration::zero() ? interval : firstDelay);
    return repeater->handle;
}

} // namespace tallyvox

#pragma once

#include "base/EventLoop.h"

#include <string>
#include <thread>

namespace tallyvox {

// One worker thread that runs its tasks one after another, in the order posted.
class SerialQueue : public Executor {
public:
    explicit SerialQueue(std::string label, EventLoop::Pace pace = EventLoop::Pace::realTime);
    ~SerialQueue() override; // drops pending tasks, waits for the running one

    const std::string& label() const { return label_; }
    bool isCurrent() const { return loop_.isRunningOnThisThread(); }
    // Runs `task` on the queue and waits for it; runs inline when already on the queue.
    void sync(const Task& task);

protected:
    void schedule(Duration delay, Task task) override;

private:
    std::string label_;
    struct Loop : EventLoop {
        using EventLoop::EventLoop;
        using EventLoop::schedule;
    } loop_;
    std::thread thread_;
};

} // namespace tallyvox

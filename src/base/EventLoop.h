#pragma once

#include "base/Executor.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace tallyvox {

// A real executor: tasks and timers run in order on whichever thread calls run().
class EventLoop : public Executor {
public:
    enum class Pace {
        realTime,
        // Time jumps straight to the next due task: timers keep their order and spacing in
        // virtual time, but nobody waits (a file transcribed as fast as recognition goes).
        fastForward,
    };

    explicit EventLoop(Pace pace = Pace::realTime)
        : pace_(pace) {}
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Runs tasks until quit(); tasks still pending then are dropped.
    void run();
    void quit();
    bool isRunningOnThisThread() const;

protected:
    void schedule(Duration delay, Task task) override;

private:
    using TimePoint = std::chrono::steady_clock::time_point;
    struct Entry {
        TimePoint due;
        std::uint64_t order;
        Task task;
    };
    struct Later {
        bool operator()(const Entry& a, const Entry& b) const {
            return a.due != b.due ? a.due > b.due : a.order > b.order;
        }
    };

    TimePoint nowLocked() const {
        return pace_ == Pace::fastForward ? virtualNow_ : std::chrono::steady_clock::now();
    }

    const Pace pace_;
    TimePoint virtualNow_ = std::chrono::steady_clock::now();
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::priority_queue<Entry, std::vector<Entry>, Later> entries_;
    std::uint64_t nextOrder_ = 0;
    bool quitting_ = false;
    std::thread::id runner_;
};

} // namespace tallyvox

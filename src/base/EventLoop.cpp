#include "base/EventLoop.h"

#include <algorithm>

namespace tallyvox {

void EventLoop::schedule(Duration delay, Task task) {
    auto step = std::chrono::duration_cast<std::chrono::steady_clock::duration>(delay);
    {
        std::lock_guard lock(mutex_);
        auto due = nowLocked() + std::max(step, std::chrono::steady_clock::duration::zero());
        entries_.push(Entry{due, nextOrder_++, std::move(task)});
    }
    wake_.notify_one();
}

void EventLoop::run() {
    std::unique_lock lock(mutex_);
    runner_ = std::this_thread::get_id();
    while (!quitting_) {
        if (entries_.empty()) {
            wake_.wait(lock);
            continue;
        }
        auto due = entries_.top().due;
        if (due > nowLocked()) {
            if (pace_ == Pace::fastForward) {
                virtualNow_ = due;
            } else {
                wake_.wait_until(lock, due);
                continue;
            }
        }
        Task task = std::move(const_cast<Entry&>(entries_.top()).task);
        entries_.pop();
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
    }
    quitting_ = false;
    runner_ = {};
    while (!entries_.empty())
        entries_.pop();
}

void EventLoop::quit() {
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
    }
    wake_.notify_all();
}

bool EventLoop::isRunningOnThisThread() const {
    std::lock_guard lock(mutex_);
    return runner_ == std::this_thread::get_id();
}

} // namespace tallyvox

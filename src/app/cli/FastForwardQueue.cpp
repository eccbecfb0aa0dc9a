#include "FastForwardQueue.h"

namespace tallyvox {

FastForwardQueue::FastForwardQueue()
    : thread_([this] { loop(); }) {}

FastForwardQueue::~FastForwardQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void FastForwardQueue::schedule(Duration delay, Task task) {
    {
        std::lock_guard lock(mutex_);
        entries_.push({now_ + std::max(delay.count(), 0.0), nextOrder_++, std::move(task)});
    }
    wake_.notify_all();
}

void FastForwardQueue::loop() {
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stopping_ || !entries_.empty(); });
        if (stopping_)
            return;
        Entry entry = std::move(const_cast<Entry&>(entries_.top()));
        entries_.pop();
        now_ = std::max(now_, entry.due);
        lock.unlock();
        entry.task();
        lock.lock();
    }
}

} // namespace tallyvox

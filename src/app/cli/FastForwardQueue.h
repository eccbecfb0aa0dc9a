#pragma once

#include "base/Executor.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace tallyvox {

// A serial queue on its own thread whose clock jumps straight to the next due task, so the
// engine's one-second pulls run back to back: the same windows as a live session, as fast as
// recognition goes.
class FastForwardQueue : public Executor {
public:
    FastForwardQueue();
    ~FastForwardQueue() override; // drops pending tasks, waits for the running one
    // Seconds of virtual time passed; read on the queue.
    double now() const { return now_; }

protected:
    void schedule(Duration delay, Task task) override;

private:
    struct Entry {
        double due;
        std::uint64_t order;
        Task task;
    };
    struct Later {
        bool operator()(const Entry& a, const Entry& b) const {
            return a.due != b.due ? a.due > b.due : a.order > b.order;
        }
    };
    void loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::priority_queue<Entry, std::vector<Entry>, Later> entries_;
    std::uint64_t nextOrder_ = 0;
    double now_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace tallyvox

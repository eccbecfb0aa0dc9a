#pragma once

#include "base/Clock.h"
#include "base/Executor.h"

#include <cstdint>
#include <vector>

namespace tallyvox::testing {

// A clock that moves only when a test says so.
class ManualClock : public Clock {
public:
    explicit ManualClock(SystemTime start = SystemTime(std::chrono::seconds(1796558400)))
        : wallStart_(start) {}
    SystemTime now() const override { return addSeconds(wallStart_, elapsed_); }
    double uptime() const override { return 1000.0 + elapsed_; }
    void advance(double seconds) { elapsed_ += seconds; }
    double elapsed() const { return elapsed_; }

private:
    SystemTime wallStart_;
    double elapsed_ = 0;
};

// Runs posted tasks and timers on the test's thread, on the virtual time of a ManualClock,
// so debounce delays and watchdogs are tested without sleeping.
class ManualExecutor : public Executor {
public:
    explicit ManualExecutor(ManualClock& clock)
        : clock_(clock) {}

    // Runs everything that is due now, including tasks those tasks post for now.
    void runUntilIdle();
    // Moves the clock forward, running each timer at its due time in order.
    void advance(double seconds);
    size_t pendingCount() const { return entries_.size(); }

protected:
    void schedule(Duration delay, Task task) override;

private:
    struct Entry {
        double due;
        std::uint64_t order;
        Task task;
    };
    bool runNextDue(double until);

    ManualClock& clock_;
    std::vector<Entry> entries_;
    std::uint64_t nextOrder_ = 0;
};

} // namespace tallyvox::testing

#include "fakes/ManualExecutor.h"

#include <algorithm>

namespace tallyvox::testing {

void ManualExecutor::schedule(Duration delay, Task task) {
    entries_.push_back(
        {clock_.elapsed() + std::max(0.0, delay.count()), nextOrder_++, std::move(task)});
}

bool ManualExecutor::runNextDue(double until) {
    auto next = std::min_element(entries_.begin(), entries_.end(), [](auto& a, auto& b) {
        return a.due != b.due ? a.due < b.due : a.order < b.order;
    });
    if (next == entries_.end() || next->due > until + 1e-9)
        return false;
    double due = next->due;
    Task task = std::move(next->task);
    entries_.erase(next);
    if (due > clock_.elapsed())
        clock_.advance(due - clock_.elapsed());
    task();
    return true;
}

void ManualExecutor::runUntilIdle() {
    while (runNextDue(clock_.elapsed())) {
    }
}

void ManualExecutor::advance(double seconds) {
    double until = clock_.elapsed() + seconds;
    while (runNextDue(until)) {
    }
    if (until > clock_.elapsed())
        clock_.advance(until - clock_.elapsed());
}

} // namespace tallyvox::testing

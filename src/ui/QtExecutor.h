#pragma once

#include "base/Executor.h"

#include <QObject>

#include <memory>

namespace tallyvox::ui {

// The core's main-thread executor on Qt's event loop. Posting is safe from any thread; tasks
// run on the thread that made the executor (the GUI thread), in the order they were posted.
class QtExecutor : public Executor {
public:
    QtExecutor();
    ~QtExecutor() override;
    QtExecutor(const QtExecutor&) = delete;
    QtExecutor& operator=(const QtExecutor&) = delete;

protected:
    void schedule(Duration delay, Task task) override;

private:
    // Owns the posted events and timers: once the executor is gone, they never run.
    std::unique_ptr<QObject> context_;
};

} // namespace tallyvox::ui

#include "ui/QtExecutor.h"

#include "base/Log.h"

#include <QMetaObject>
#include <QTimer>

#include <cmath>
#include <exception>

namespace tallyvox::ui {

namespace {

// A task that throws must not unwind through Qt's event dispatch, which is not exception
// safe; the failure is logged like on the command line's loop.
void runGuarded(const Executor::Task& task) {
    try {
        task();
    } catch (const std::exception& error) {
        Log::error("Main-thread task failed: {}", error.what());
    } catch (...) {
        Log::error("Main-thread task failed");
    }
}

} // namespace

QtExecutor::QtExecutor()
    : context_(std::make_unique<QObject>()) {}

QtExecutor::~QtExecutor() = default;

void QtExecutor::schedule(Duration delay, Task task) {
    QObject* context = context_.get();
    // Whole milliseconds, rounded up so a task never runs before its time.
    auto ms = static_cast<int>(std::ceil(std::max(0.0, delay.count()) * 1000.0));
    // Hop to the GUI thread first: a QTimer can only be started on the thread it lives on.
    QMetaObject::invokeMethod(
        context,
        [context, ms, task = std::move(task)]() mutable {
            if (ms == 0) {
                runGuarded(task);
                return;
            }
            QTimer::singleShot(ms, Qt::PreciseTimer, context,
                               [task = std::move(task)] { runGuarded(task); });
        },
        Qt::QueuedConnection);
}

} // namespace tallyvox::ui

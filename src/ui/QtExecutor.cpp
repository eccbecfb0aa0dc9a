#include "ui/QtExecutor.h"

#include "base/CallbackBarrier.h"

#include <QMetaObject>
#include <QTimer>

#include <cmath>

namespace tallyvox::ui {

namespace {

// Qt's event dispatch is not exception safe: a task's failure is logged, as on the command
// line's loop, and goes no further.
void runGuarded(const Executor::Task& task) {
    callbackBarrier("main-thread task", [&] { task(); });
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

#include "base/SerialQueue.h"

#include <future>
#include <pthread.h>

namespace tallyvox {

SerialQueue::SerialQueue(std::string label, EventLoop::Pace pace)
    : label_(std::move(label))
    , loop_(pace) {
    std::promise<void> started;
    auto ready = started.get_future();
    thread_ = std::thread([this, &started] {
        // Thread names are limited to 15 bytes; the tail of the label is the telling part.
        std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
        pthread_setname_np(pthread_self(), name.c_str());
        loop_.schedule(Duration::zero(), [&started] { started.set_value(); });
        loop_.run();
    });
    ready.wait();
}

SerialQueue::~SerialQueue() {
    loop_.quit();
    if (thread_.joinable())
        thread_.join();
}

void SerialQueue::schedule(Duration delay, Task task) {
    loop_.schedule(delay, std::move(task));
}

void SerialQueue::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    loop_.schedule(Duration::zero(), [&] {
        try {
            task();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    finished.get();
}

} // namespace tallyvox

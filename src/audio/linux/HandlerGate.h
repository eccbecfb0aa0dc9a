#pragma once

#include <mutex>

namespace tallyvox {

// Lets the handlers of one stream run until the stream is shut; once shut() returns, none
// runs again. Handlers only hand their work onward, so shut() waits for no more than that.
class HandlerGate {
public:
    template <class F> void run(F&& handler) {
        std::lock_guard lock(mutex_);
        if (open_)
            handler();
    }
    bool isOpen() {
        std::lock_guard lock(mutex_);
        return open_;
    }
    void shut() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }

private:
    // A handler that shuts its own stream must not deadlock.
    std::recursive_mutex mutex_;
    bool open_ = true;
};

} // namespace tallyvox

#pragma once

#include <functional>
#include <memory>
#include <thread>

typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;

namespace tallyvox::linux_services {

// A thread of its own running a GLib main loop, so D-Bus signals arrive whatever loop the
// rest of the program runs (Qt's, the command line's, a test's).
class GlibThread {
public:
    GlibThread();
    ~GlibThread();
    GlibThread(const GlibThread&) = delete;
    GlibThread& operator=(const GlibThread&) = delete;

    // Runs `task` on the GLib thread and waits for it; signal subscriptions made inside are
    // delivered on that thread. What the task throws is thrown here, to the caller.
    void sync(const std::function<void()>& task);

private:
    // Plain function deleters keep GLib's headers out of this one.
    std::unique_ptr<GMainContext, void (*)(GMainContext*)> context_;
    std::unique_ptr<GMainLoop, void (*)(GMainLoop*)> loop_;
    std::thread thread_;
};

} // namespace tallyvox::linux_services

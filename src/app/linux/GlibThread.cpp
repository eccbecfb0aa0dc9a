#include "app/linux/GlibThread.h"

#include <future>
#include <glib.h>

namespace tallyvox::linux_services {

GlibThread::GlibThread() {
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    std::promise<void> running;
    auto ready = running.get_future();
    thread_ = std::thread([this, &running] {
        g_main_context_push_thread_default(context_);
        running.set_value();
        g_main_loop_run(loop_);
        // Let sources removed while quitting release their data on this thread.
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_context_pop_thread_default(context_);
    });
    ready.wait();
}

GlibThread::~GlibThread() {
    sync([this] { g_main_loop_quit(loop_); });
    thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

void GlibThread::sync(const std::function<void()>& task) {
    struct Call {
        const std::function<void()>* task;
        std::promise<void> done;
    } call{&task, {}};
    auto finished = call.done.get_future();
    g_main_context_invoke(
        context_,
        [](gpointer data) -> gboolean {
            auto* c = static_cast<Call*>(data);
            (*c->task)();
            c->done.set_value();
            return G_SOURCE_REMOVE;
        },
        &call);
    finished.wait();
}

} // namespace tallyvox::linux_services

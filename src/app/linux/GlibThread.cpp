#include "app/linux/GlibThread.h"

#include "base/CallbackBarrier.h"

#include <future>
#include <glib.h>

namespace tallyvox::linux_services {

GlibThread::GlibThread()
    : context_(g_main_context_new(), g_main_context_unref)
    , loop_(g_main_loop_new(context_.get(), FALSE), g_main_loop_unref) {
    std::promise<void> running;
    auto ready = running.get_future();
    thread_ = std::thread([this, &running] {
        g_main_context_push_thread_default(context_.get());
        running.set_value();
        g_main_loop_run(loop_.get());
        // Let sources removed while quitting release their data on this thread.
        while (g_main_context_iteration(context_.get(), FALSE)) {
        }
        g_main_context_pop_thread_default(context_.get());
    });
    ready.wait();
}

GlibThread::~GlibThread() {
    sync([this] { g_main_loop_quit(loop_.get()); });
    thread_.join();
}

void GlibThread::sync(const std::function<void()>& task) {
    struct Call {
        const std::function<void()>* task;
        std::promise<void> done;
    } call{&task, {}};
    auto finished = call.done.get_future();
    g_main_context_invoke(
        context_.get(),
        [](gpointer data) -> gboolean {
            return callbackBarrier("GLib thread task", G_SOURCE_REMOVE, [data] {
                auto* c = static_cast<Call*>(data);
                // The caller waits for the task, so what it throws is the caller's.
                try {
                    (*c->task)();
                    c->done.set_value();
                } catch (...) {
                    c->done.set_exception(std::current_exception());
                }
                return G_SOURCE_REMOVE;
            });
        },
        &call);
    finished.get();
}

} // namespace tallyvox::linux_services

#pragma once

// What the files of PulseConnection share: the main loop's ownership and waiting, and the
// context's life (PulseConnection.cpp), the one-off queries (PulseQueries.cpp), the record
// streams (PulseRecordStreams.cpp) and the watches (PulseWatches.cpp). Only they include it.

#include "audio/linux/PulseConnection.h"
#include "audio/linux/PulseHandles.h"
#include "base/CallbackBarrier.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace tallyvox {

namespace pulse {
// libpulse leaves absent names null.
inline const char* text(const char* value) {
    return value ? value : "";
}
} // namespace pulse

struct PulseConnection::Open {
    Impl* impl = nullptr;
    pulse::Stream handle;
    StreamHandlers handlers;
    bool ready = false;
    bool ended = false;
};

struct PulseConnection::Watched final : Watching {
    Impl* impl = nullptr;
    Watcher watcher;
    std::vector<pulse::Operation> operations;
    // The first `connected` of a watch made while the connection is up.
    pa_defer_event* greeting = nullptr;

    pa_context* context() const override;
    bool keep(pa_operation* operation) override {
        if (!operation)
            return false;
        std::erase_if(operations, [](const pulse::Operation& kept) {
            return pa_operation_get_state(kept.get()) != PA_OPERATION_RUNNING;
        });
        operations.emplace_back(operation);
        return true;
    }
    void cancelOperations() {
        for (auto& kept : operations)
            if (pa_operation_get_state(kept.get()) == PA_OPERATION_RUNNING)
                pa_operation_cancel(kept.get());
        operations.clear();
    }
};

struct PulseConnection::Impl {
    std::string clientName;
    double timeout;
    pulse::ThreadedLoop loop;
    pa_mainloop_api* api = nullptr;
    // Everything below is guarded by the loop's lock.
    pulse::Context context;
    pa_time_event* retry = nullptr;
    std::uint32_t subscribed = 0;
    bool contextWasReady = false;
    bool everConnected = false;
    bool failureLogged = false;
    std::set<Open*> streams;
    std::set<Watched*> watches;

    class Lock {
    public:
        explicit Lock(Impl& impl)
            : loop_(impl.loop.get()) {
            pa_threaded_mainloop_lock(loop_);
        }
        ~Lock() { pa_threaded_mainloop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* loop_;
    };

    Impl(std::string name, double timeoutSeconds);
    ~Impl();

    int error() const {
        return context ? pa_context_errno(context.get()) : PA_ERR_CONNECTIONTERMINATED;
    }

    pa_context_state_t state() const {
        return context ? pa_context_get_state(context.get()) : PA_CONTEXT_UNCONNECTED;
    }

    // Called with the lock held, never on the loop's thread; the loop's wait lets the lock go
    // until a callback that changes what is waited for (the context's state, a stream's, an
    // operation's) or the deadline's timer wakes us. Looks at the connection afresh each
    // time: the retry may replace the context meanwhile.
    template <class Done> bool waitUntil(Done done) {
        if (done())
            return true;
        Deadline deadline{loop.get()};
        timeval when{};
        pa_gettimeofday(&when);
        pa_timeval_add(&when, static_cast<pa_usec_t>(timeout * PA_USEC_PER_SEC));
        pa_time_event* timer = api->time_new(api, &when, &Impl::onDeadline, &deadline);
        if (!timer)
            return false;
        while (!done() && !deadline.passed)
            pa_threaded_mainloop_wait(loop.get());
        api->time_free(timer);
        return done();
    }

    struct Deadline {
        pa_threaded_mainloop* loop;
        bool passed = false;
    };

    static void onDeadline(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata);

    // Every waiter looks again at what it waits for; those still short of it wait on.
    void wakeWaiters() { pa_threaded_mainloop_signal(loop.get(), 0); }

    static void onOperationState(pa_operation*, void* userdata);
    bool finish(pa_operation* sent);

    // The context's life (PulseConnection.cpp).
    int startContext();
    void abandonContext();
    void scheduleRetry();
    void cancelRetry();
    static void onRetry(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata);
    static void onContextState(pa_context* c, void* userdata);
    void becameReady();
    void connectionFailed(const std::string& reason);

    // Watches (PulseWatches.cpp).
    void tellConnected(Watched& watched);
    void greet(Watched& watched);
    void dropGreeting(Watched& watched);
    static void onGreeting(pa_mainloop_api*, pa_defer_event*, void* userdata);
    void subscribe();
    static void onSubscribed(pa_context* c, int success, void*);
    static void onEvent(pa_context* c, pa_subscription_event_type_t type, uint32_t index,
                        void* userdata);

    // Record streams (PulseRecordStreams.cpp).
    static void onServerInfo(pa_context*, const pa_server_info* info, void* userdata);
    static void readAll(Open& open);
    static void onRead(pa_stream*, size_t, void* userdata);
    static int streamError(pa_stream* s);
    static void onStreamState(pa_stream* s, void* userdata);
};

} // namespace tallyvox

#include "audio/linux/PulseConnection.h"

#include "audio/AudioCaptureService.h"
#include "audio/linux/PulseConnectionImpl.h"
#include "base/Log.h"

namespace tallyvox {

namespace {
constexpr double retrySeconds = 1.0;
} // namespace

PulseConnection::Failure::Failure(std::string step, int code)
    : Error(AudioCaptureService::CaptureError::step(step, code).what())
    , step_(std::move(step))
    , code_(code) {}

PulseConnection::Impl::Impl(std::string name, double timeoutSeconds)
    : clientName(std::move(name))
    , timeout(timeoutSeconds)
    , loop(pa_threaded_mainloop_new()) {
    if (!loop)
        return;
    pa_threaded_mainloop_set_name(loop.get(), "tallyvox-sound");
    api = pa_threaded_mainloop_get_api(loop.get());
    if (pa_threaded_mainloop_start(loop.get()) < 0) {
        pa_threaded_mainloop_free(loop.release());
        Log::error("Sound server connection failed: {}", "cannot start the libpulse thread");
    }
}

PulseConnection::Impl::~Impl() {
    if (!loop)
        return;
    {
        Lock lock(*this);
        cancelRetry();
        context.reset();
    }
    loop.reset();
}

void PulseConnection::Impl::onDeadline(pa_mainloop_api*, pa_time_event*, const timeval*,
                                       void* userdata) {
    callbackBarrier("sound server deadline", [&] {
        auto* deadline = static_cast<Deadline*>(userdata);
        deadline->passed = true;
        pa_threaded_mainloop_signal(deadline->loop, 0);
    });
}

void PulseConnection::Impl::onOperationState(pa_operation*, void* userdata) {
    callbackBarrier("sound server operation", [&] { static_cast<Impl*>(userdata)->wakeWaiters(); });
}

bool PulseConnection::Impl::finish(pa_operation* sent) {
    pulse::Operation operation(sent);
    if (!operation)
        return false;
    pa_operation_set_state_callback(operation.get(), &Impl::onOperationState, this);
    bool done =
        waitUntil([&] { return pa_operation_get_state(operation.get()) != PA_OPERATION_RUNNING; });
    if (!done)
        pa_operation_cancel(operation.get());
    return done && pa_operation_get_state(operation.get()) == PA_OPERATION_DONE;
}

// The one place a connection is made: by the retry, by a blocking step that finds the
// server gone, and by the first watch. Answers 0, or the error of a failure at once.
int PulseConnection::Impl::startContext() {
    cancelRetry();
    context.reset();
    contextWasReady = false;
    subscribed = 0;
    pulse::Proplist props(pa_proplist_new());
    pa_proplist_sets(props.get(), PA_PROP_APPLICATION_NAME, "Tallyvox");
    pa_proplist_sets(props.get(), PA_PROP_APPLICATION_ID, "com.tallyvox.app");
    context.reset(pa_context_new_with_proplist(api, clientName.c_str(), props.get()));
    if (!context) {
        connectionFailed("cannot create a sound server context");
        return PA_ERR_INTERNAL;
    }
    pa_context_set_state_callback(context.get(), &Impl::onContextState, this);
    // Never starts a sound server of its own.
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        int code = error();
        // A failure reported through the state callback has been handled there.
        if (state() != PA_CONTEXT_FAILED)
            connectionFailed(pa_strerror(code));
        return code;
    }
    return 0;
}

// A context that never came up in time is let go; the retry tries a fresh one.
void PulseConnection::Impl::abandonContext() {
    context.reset();
    scheduleRetry();
}

void PulseConnection::Impl::scheduleRetry() {
    if (retry)
        return;
    timeval when{};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, static_cast<pa_usec_t>(retrySeconds * PA_USEC_PER_SEC));
    retry = api->time_new(api, &when, &Impl::onRetry, this);
}

void PulseConnection::Impl::cancelRetry() {
    if (retry)
        api->time_free(retry);
    retry = nullptr;
}

void PulseConnection::Impl::onRetry(pa_mainloop_api*, pa_time_event*, const timeval*,
                                    void* userdata) {
    callbackBarrier("sound server retry", [&] {
        auto* self = static_cast<Impl*>(userdata);
        self->startContext();
        self->wakeWaiters();
    });
}

void PulseConnection::Impl::onContextState(pa_context* c, void* userdata) {
    callbackBarrier("sound server state", [&] {
        auto* self = static_cast<Impl*>(userdata);
        self->wakeWaiters();
        if (c != self->context.get())
            return;
        switch (pa_context_get_state(c)) {
        case PA_CONTEXT_READY:
            self->becameReady();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            self->connectionFailed(pa_strerror(pa_context_errno(c)));
            break;
        default:
            break;
        }
    });
}

void PulseConnection::Impl::becameReady() {
    if (failureLogged || everConnected)
        Log::info("Sound server connected");
    failureLogged = false;
    everConnected = true;
    contextWasReady = true;
    subscribe();
    for (Watched* watched : watches) {
        dropGreeting(*watched);
        tellConnected(*watched);
    }
}

void PulseConnection::Impl::connectionFailed(const std::string& reason) {
    if (!failureLogged) {
        if (contextWasReady)
            Log::error("Sound server connection lost: {}", reason);
        else
            Log::error("Sound server connection failed: {}", reason);
        failureLogged = true;
    }
    contextWasReady = false;
    for (Watched* watched : watches) {
        dropGreeting(*watched);
        // The context cancelled the operations; their callbacks will not come.
        watched->operations.clear();
        if (watched->watcher.disconnected)
            callbackBarrier("sound server watch (disconnected)",
                            [&] { watched->watcher.disconnected(); });
    }
    scheduleRetry();
}

PulseConnection::PulseConnection(std::string clientName, double timeoutSeconds)
    : impl_(std::make_shared<Impl>(std::move(clientName), timeoutSeconds)) {}

PulseConnection::~PulseConnection() = default;

void PulseConnection::connect() {
    const std::string step = "connect to sound server";
    Impl& impl = *impl_;
    if (!impl.loop)
        throw Failure(step, PA_ERR_INTERNAL);
    Impl::Lock lock(impl);
    if (impl.state() == PA_CONTEXT_READY)
        return;
    // An attempt under way (the retry's) is waited for; a failed or missing one starts again.
    if (!PA_CONTEXT_IS_GOOD(impl.state()))
        if (int code = impl.startContext())
            throw Failure(step, code);
    bool settled = impl.waitUntil([&impl] {
        auto state = impl.state();
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    if (!settled) {
        impl.abandonContext();
        throw Failure(step, PA_ERR_TIMEOUT);
    }
    if (impl.state() != PA_CONTEXT_READY)
        throw Failure(step, impl.error());
}

} // namespace tallyvox

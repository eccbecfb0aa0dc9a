#include "audio/linux/PulseConnection.h"

#include "audio/AudioCaptureService.h"
#include "audio/linux/PulseHandles.h"
#include "audio/linux/RecordFragment.h"
#include "base/CallbackBarrier.h"
#include "base/Log.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace tallyvox {

namespace {
const char* text(const char* value) {
    return value ? value : "";
}

constexpr double retrySeconds = 1.0;
} // namespace

PulseConnection::Failure::Failure(std::string step, int code)
    : Error(AudioCaptureService::CaptureError::step(step, code).what())
    , step_(std::move(step))
    , code_(code) {}

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

    Impl(std::string name, double timeoutSeconds)
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

    ~Impl() {
        if (!loop)
            return;
        {
            Lock lock(*this);
            cancelRetry();
            context.reset();
        }
        loop.reset();
    }

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

    static void onDeadline(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
        callbackBarrier("sound server deadline", [&] {
            auto* deadline = static_cast<Deadline*>(userdata);
            deadline->passed = true;
            pa_threaded_mainloop_signal(deadline->loop, 0);
        });
    }

    // Every waiter looks again at what it waits for; those still short of it wait on.
    void wakeWaiters() { pa_threaded_mainloop_signal(loop.get(), 0); }

    static void onOperationState(pa_operation*, void* userdata) {
        callbackBarrier("sound server operation",
                        [&] { static_cast<Impl*>(userdata)->wakeWaiters(); });
    }

    bool finish(pa_operation* sent) {
        pulse::Operation operation(sent);
        if (!operation)
            return false;
        pa_operation_set_state_callback(operation.get(), &Impl::onOperationState, this);
        bool done = waitUntil(
            [&] { return pa_operation_get_state(operation.get()) != PA_OPERATION_RUNNING; });
        if (!done)
            pa_operation_cancel(operation.get());
        return done && pa_operation_get_state(operation.get()) == PA_OPERATION_DONE;
    }

    // The one place a connection is made: by the retry, by a blocking step that finds the
    // server gone, and by the first watch. Answers 0, or the error of a failure at once.
    int startContext() {
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
    void abandonContext() {
        context.reset();
        scheduleRetry();
    }

    void scheduleRetry() {
        if (retry)
            return;
        timeval when{};
        pa_gettimeofday(&when);
        pa_timeval_add(&when, static_cast<pa_usec_t>(retrySeconds * PA_USEC_PER_SEC));
        retry = api->time_new(api, &when, &Impl::onRetry, this);
    }

    void cancelRetry() {
        if (retry)
            api->time_free(retry);
        retry = nullptr;
    }

    static void onRetry(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
        callbackBarrier("sound server retry", [&] {
            auto* self = static_cast<Impl*>(userdata);
            self->startContext();
            self->wakeWaiters();
        });
    }

    static void onContextState(pa_context* c, void* userdata) {
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

    void becameReady() {
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

    void connectionFailed(const std::string& reason) {
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

    void tellConnected(Watched& watched) {
        if (watched.watcher.connected)
            callbackBarrier("sound server watch (connected)",
                            [&] { watched.watcher.connected(watched); });
    }

    void greet(Watched& watched) {
        watched.greeting = api->defer_new(api, &Impl::onGreeting, &watched);
    }

    void dropGreeting(Watched& watched) {
        if (watched.greeting)
            api->defer_free(watched.greeting);
        watched.greeting = nullptr;
    }

    static void onGreeting(pa_mainloop_api*, pa_defer_event*, void* userdata) {
        callbackBarrier("sound server watch (greeting)", [&] {
            auto* watched = static_cast<Watched*>(userdata);
            Impl& self = *watched->impl;
            self.dropGreeting(*watched);
            if (self.state() == PA_CONTEXT_READY)
                self.tellConnected(*watched);
        });
    }

    // The server's own events feed the streams' defaultsChanged; the watches add theirs. The
    // subscription only grows: events nobody watches any more are passed over.
    void subscribe() {
        if (state() != PA_CONTEXT_READY)
            return;
        std::uint32_t mask = PA_SUBSCRIPTION_MASK_SERVER;
        for (Watched* watched : watches)
            mask |= watched->watcher.events;
        if ((mask | subscribed) == subscribed)
            return;
        subscribed |= mask;
        pa_context_set_subscribe_callback(context.get(), &Impl::onEvent, this);
        if (!pulse::letRun(pa_context_subscribe(context.get(),
                                                static_cast<pa_subscription_mask_t>(subscribed),
                                                &Impl::onSubscribed, nullptr)))
            Log::error("Sound server listener failed: {}", pa_strerror(error()));
    }

    static void onSubscribed(pa_context* c, int success, void*) {
        callbackBarrier("sound server subscription", [&] {
            if (!success)
                Log::error("Sound server listener failed: {}", pa_strerror(pa_context_errno(c)));
        });
    }

    static void onEvent(pa_context* c, pa_subscription_event_type_t type, uint32_t index,
                        void* userdata) {
        callbackBarrier("sound server event", [&] {
            auto* self = static_cast<Impl*>(userdata);
            if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER &&
                !self->streams.empty())
                pulse::letRun(pa_context_get_server_info(c, &Impl::onServerInfo, self));
            for (Watched* watched : self->watches)
                if (pa_subscription_match_flags(watched->watcher.events, type) &&
                    watched->watcher.changed)
                    callbackBarrier("sound server watch (event)",
                                    [&] { watched->watcher.changed(*watched, type, index); });
        });
    }

    static void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
        callbackBarrier("sound server defaults", [&] {
            auto* self = static_cast<Impl*>(userdata);
            if (!info)
                return;
            Defaults now{text(info->default_sink_name), text(info->default_source_name)};
            for (Open* open : self->streams)
                if (open->ready && !open->ended && open->handlers.defaultsChanged)
                    callbackBarrier("record stream (defaults)",
                                    [&] { open->handlers.defaultsChanged(now); });
        });
    }

    static void readAll(Open& open) {
        pa_stream* s = open.handle.get();
        std::vector<float> buffer;
        while (pa_stream_readable_size(s) > 0) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0)
                break;
            appendRecordFragment(buffer, data, bytes);
            pa_stream_drop(s);
        }
        if (!buffer.empty() && open.handlers.audio)
            open.handlers.audio(std::move(buffer));
    }

    static void onRead(pa_stream*, size_t, void* userdata) {
        callbackBarrier("record stream (audio)", [&] {
            auto* open = static_cast<Open*>(userdata);
            // Audio that comes before the stream is reported ready waits in the stream.
            if (open->ready)
                readAll(*open);
        });
    }

    static int streamError(pa_stream* s) {
        // A stream let go of by its failed context no longer names it.
        pa_context* c = pa_stream_get_context(s);
        return c ? pa_context_errno(c) : PA_ERR_CONNECTIONTERMINATED;
    }

    static void onStreamState(pa_stream* s, void* userdata) {
        callbackBarrier("record stream (state)", [&] {
            auto* open = static_cast<Open*>(userdata);
            // record() waits for the stream to run or fail.
            open->impl->wakeWaiters();
            if (!open->ready || open->ended)
                return;
            pa_stream_state_t state = pa_stream_get_state(s);
            if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED)
                return;
            open->ended = true;
            if (open->handlers.ended)
                open->handlers.ended(pa_strerror(streamError(s)));
        });
    }
};

pa_context* PulseConnection::Watched::context() const {
    return impl->state() == PA_CONTEXT_READY ? impl->context.get() : nullptr;
}

PulseConnection::Stream::Stream() = default;
PulseConnection::Stream::Stream(std::shared_ptr<Impl> owner, std::unique_ptr<Open> open)
    : owner_(std::move(owner))
    , open_(std::move(open)) {}
PulseConnection::Stream::Stream(Stream&& other) noexcept = default;

PulseConnection::Stream& PulseConnection::Stream::operator=(Stream&& other) noexcept {
    if (this != &other) {
        close();
        owner_ = std::move(other.owner_);
        open_ = std::move(other.open_);
    }
    return *this;
}

PulseConnection::Stream::~Stream() {
    close();
}

void PulseConnection::Stream::close() {
    if (!open_)
        return;
    {
        Impl::Lock lock(*owner_);
        owner_->streams.erase(open_.get());
        open_->handle.reset();
    }
    // The handlers go outside the lock: what they hold may take locks of its own as it goes.
    open_.reset();
    owner_.reset();
}

PulseConnection::Watch::Watch() = default;
PulseConnection::Watch::Watch(std::shared_ptr<Impl> owner, std::unique_ptr<Watched> watched)
    : owner_(std::move(owner))
    , watched_(std::move(watched)) {}
PulseConnection::Watch::Watch(Watch&& other) noexcept = default;

PulseConnection::Watch& PulseConnection::Watch::operator=(Watch&& other) noexcept {
    if (this != &other) {
        close();
        owner_ = std::move(other.owner_);
        watched_ = std::move(other.watched_);
    }
    return *this;
}

PulseConnection::Watch::~Watch() {
    close();
}

void PulseConnection::Watch::close() {
    if (!watched_)
        return;
    {
        Impl::Lock lock(*owner_);
        owner_->dropGreeting(*watched_);
        owner_->watches.erase(watched_.get());
        watched_->cancelOperations();
    }
    watched_.reset();
    owner_.reset();
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

PulseConnection::Defaults PulseConnection::defaults() {
    connect();
    Impl::Lock lock(*impl_);
    struct Query {
        bool ok = false;
        Defaults value;
    } query;
    auto callback = [](pa_context*, const pa_server_info* info, void* userdata) {
        callbackBarrier("server info", [&] {
            auto* q = static_cast<Query*>(userdata);
            if (!info)
                return;
            q->value = {text(info->default_sink_name), text(info->default_source_name)};
            q->ok = true;
        });
    };
    if (!impl_->finish(pa_context_get_server_info(impl_->context.get(), callback, &query)) ||
        !query.ok)
        throw Failure("read server info", impl_->error());
    return query.value;
}

namespace {
void fillSink(PulseConnection::SinkInfo& value, const pa_sink_info* info) {
    value.index = info->index;
    value.name = text(info->name);
    value.monitor = text(info->monitor_source_name);
    value.sampleRate = info->sample_spec.rate;
    value.channels = info->sample_spec.channels;
    value.running = info->state == PA_SINK_RUNNING;
    OutputDeviceInfo& device = value.device;
    device.bus = text(pa_proplist_gets(info->proplist, "device.bus"));
    device.api = text(pa_proplist_gets(info->proplist, "device.api"));
    device.formFactor = text(pa_proplist_gets(info->proplist, "device.form_factor"));
    if (const pa_sink_port_info* port = info->active_port) {
        device.activePort = text(port->name);
        device.activePortIsHeadphones = port->type == PA_DEVICE_PORT_TYPE_HEADPHONES ||
                                        port->type == PA_DEVICE_PORT_TYPE_HEADSET;
        device.activePortIsExternalDisplay = port->type == PA_DEVICE_PORT_TYPE_HDMI ||
                                             port->type == PA_DEVICE_PORT_TYPE_TV ||
                                             port->type == PA_DEVICE_PORT_TYPE_SPDIF;
    }
}

struct SinkQuery {
    bool ok = false;
    bool missing = false;
    PulseConnection::SinkInfo value;

    static void answer(pa_context* c, const pa_sink_info* info, int eol, void* userdata) {
        callbackBarrier("sink info", [&] {
            auto* q = static_cast<SinkQuery*>(userdata);
            if (eol < 0 && pa_context_errno(c) == PA_ERR_NOENTITY)
                q->missing = true;
            if (eol != 0 || !info)
                return;
            fillSink(q->value, info);
            q->ok = true;
        });
    }
};
} // namespace

PulseConnection::SinkInfo PulseConnection::sink(const std::string& name) {
    connect();
    Impl::Lock lock(*impl_);
    SinkQuery query;
    if (!impl_->finish(pa_context_get_sink_info_by_name(impl_->context.get(), name.c_str(),
                                                        SinkQuery::answer, &query)) ||
        !query.ok)
        throw Failure("read output device", impl_->error());
    return query.value;
}

std::optional<PulseConnection::SinkInfo> PulseConnection::sink(std::uint32_t index) {
    connect();
    Impl::Lock lock(*impl_);
    SinkQuery query;
    bool finished = impl_->finish(
        pa_context_get_sink_info_by_index(impl_->context.get(), index, SinkQuery::answer, &query));
    if (query.missing)
        return std::nullopt;
    if (!finished || !query.ok)
        throw Failure("read output device", impl_->error());
    return query.value;
}

std::optional<PulseConnection::SourceInfo> PulseConnection::source(const std::string& name) {
    connect();
    Impl::Lock lock(*impl_);
    struct Query {
        bool ok = false;
        bool missing = false;
        SourceInfo value;
    } query;
    auto callback = [](pa_context* c, const pa_source_info* info, int eol, void* userdata) {
        callbackBarrier("source info", [&] {
            auto* q = static_cast<Query*>(userdata);
            if (eol < 0 && pa_context_errno(c) == PA_ERR_NOENTITY)
                q->missing = true;
            if (eol != 0 || !info)
                return;
            q->value.name = text(info->name);
            q->value.description = text(info->description);
            q->value.sampleRate = info->sample_spec.rate;
            q->value.channels = info->sample_spec.channels;
            q->value.isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
            q->ok = true;
        });
    };
    bool finished = impl_->finish(
        pa_context_get_source_info_by_name(impl_->context.get(), name.c_str(), callback, &query));
    if (query.missing)
        return std::nullopt;
    if (!finished || !query.ok)
        throw Failure("read input device", impl_->error());
    return query.value;
}

PulseConnection::Stream PulseConnection::record(const std::string& source,
                                                const std::string& streamName, double sampleRate,
                                                int channels, double fragmentSeconds,
                                                StreamHandlers handlers) {
    connect();
    Impl& impl = *impl_;
    Impl::Lock lock(impl);

    pa_sample_spec sampleFormat{};
    sampleFormat.format = PA_SAMPLE_FLOAT32NE;
    sampleFormat.rate = static_cast<uint32_t>(sampleRate);
    sampleFormat.channels = static_cast<uint8_t>(channels);
    if (sampleRate < 1 || channels < 1 || channels > static_cast<int>(PA_CHANNELS_MAX) ||
        !pa_sample_spec_valid(&sampleFormat))
        throw Failure("create record stream", PA_ERR_INVALID);

    // Made after the lock, so a failure below tears the stream down with the lock held.
    auto open = std::make_unique<Open>();
    open->impl = &impl;
    open->handlers = std::move(handlers);
    open->handle.reset(
        pa_stream_new(impl.context.get(), streamName.c_str(), &sampleFormat, nullptr));
    pa_stream* stream = open->handle.get();
    if (!stream)
        throw Failure("create record stream", impl.error());
    pa_stream_set_read_callback(stream, &Impl::onRead, open.get());
    pa_stream_set_state_callback(stream, &Impl::onStreamState, open.get());

    // The server's default buffering holds back (and can lose) audio; fragments of a tenth
    // of a second or more keep it flowing without making the server wake every few
    // milliseconds.
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);
    attr.fragsize = static_cast<uint32_t>(
        pa_usec_to_bytes(static_cast<pa_usec_t>(fragmentSeconds * PA_USEC_PER_SEC), &sampleFormat));
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, source.c_str(), &attr, flags) < 0)
        throw Failure("connect record stream", Impl::streamError(stream));
    bool settled = impl.waitUntil([stream] {
        auto state = pa_stream_get_state(stream);
        return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
    });
    if (!settled || pa_stream_get_state(stream) != PA_STREAM_READY)
        throw Failure("start stream", settled ? Impl::streamError(stream) : PA_ERR_TIMEOUT);
    open->ready = true;
    // Still under the loop's lock, so no audio of this stream has been handed on yet.
    if (open->handlers.ready)
        open->handlers.ready();
    Impl::readAll(*open);
    impl.streams.insert(open.get());
    return Stream(impl_, std::move(open));
}

PulseConnection::Watch PulseConnection::watch(Watcher watcher) {
    Impl& impl = *impl_;
    if (!impl.loop)
        return Watch();
    auto watched = std::make_unique<Watched>();
    watched->impl = &impl;
    watched->watcher = std::move(watcher);
    Impl::Lock lock(impl);
    impl.watches.insert(watched.get());
    if (impl.state() == PA_CONTEXT_READY) {
        impl.subscribe();
        impl.greet(*watched);
    } else if (!impl.context) {
        impl.startContext();
    }
    return Watch(impl_, std::move(watched));
}

} // namespace tallyvox

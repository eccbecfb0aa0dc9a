#include "audio/linux/PulseConnection.h"

#include "audio/linux/RecordFragment.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace tallyvox {

namespace {
const char* text(const char* value) {
    return value ? value : "";
}
} // namespace

struct PulseConnection::Impl {
    std::string clientName;
    double timeout;
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    bool streamReady = false;
    bool streamEnded = false;
    std::shared_ptr<StreamHandlers> handlers;

    struct Lock {
        explicit Lock(pa_threaded_mainloop* l)
            : loop(l) {
            pa_threaded_mainloop_lock(loop);
        }
        ~Lock() { pa_threaded_mainloop_unlock(loop); }
        pa_threaded_mainloop* loop;
    };

    int error() const { return context ? pa_context_errno(context) : PA_ERR_CONNECTIONTERMINATED; }

    // Called with the lock held; the server's callbacks run while we sleep unlocked.
    template <class Done> bool waitUntil(Done done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            pa_threaded_mainloop_unlock(loop);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            pa_threaded_mainloop_lock(loop);
        }
        return true;
    }

    bool finish(pa_operation* op) {
        if (!op)
            return false;
        bool done = waitUntil([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
        if (!done)
            pa_operation_cancel(op);
        bool ok = done && pa_operation_get_state(op) == PA_OPERATION_DONE;
        pa_operation_unref(op);
        return ok;
    }

    void closeStreamLocked() {
        handlers.reset();
        if (!stream)
            return;
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        if (pa_stream_get_state(stream) == PA_STREAM_READY ||
            pa_stream_get_state(stream) == PA_STREAM_CREATING)
            pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
        streamReady = false;
        streamEnded = false;
    }

    void dropContextLocked() {
        closeStreamLocked();
        if (!context)
            return;
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }

    static void onRead(pa_stream* s, size_t, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (s != self->stream || !self->handlers)
            return;
        std::vector<float> buffer;
        while (pa_stream_readable_size(s) > 0) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0)
                break;
            appendRecordFragment(buffer, data, bytes);
            pa_stream_drop(s);
        }
        if (!buffer.empty() && self->handlers->audio)
            self->handlers->audio(std::move(buffer));
    }

    static void onStreamState(pa_stream* s, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (s != self->stream || !self->streamReady || self->streamEnded)
            return;
        pa_stream_state_t state = pa_stream_get_state(s);
        if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED)
            return;
        self->streamEnded = true;
        if (self->handlers && self->handlers->ended)
            self->handlers->ended(pa_strerror(self->error()));
    }

    static void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (!info || !self->handlers || !self->handlers->defaultsChanged)
            return;
        self->handlers->defaultsChanged(
            {text(info->default_sink_name), text(info->default_source_name)});
    }

    static void onEvent(pa_context* c, pa_subscription_event_type_t type, uint32_t,
                        void* userdata) {
        if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER)
            return;
        if (pa_operation* op = pa_context_get_server_info(c, onServerInfo, userdata))
            pa_operation_unref(op);
    }
};

PulseConnection::PulseConnection(std::string clientName, double timeoutSeconds)
    : impl_(std::make_unique<Impl>()) {
    impl_->clientName = std::move(clientName);
    impl_->timeout = timeoutSeconds;
    impl_->loop = pa_threaded_mainloop_new();
    if (impl_->loop)
        pa_threaded_mainloop_start(impl_->loop);
}

PulseConnection::~PulseConnection() {
    if (!impl_->loop)
        return;
    {
        Impl::Lock lock(impl_->loop);
        impl_->dropContextLocked();
    }
    pa_threaded_mainloop_stop(impl_->loop);
    pa_threaded_mainloop_free(impl_->loop);
}

void PulseConnection::connect() {
    const std::string step = "connect to sound server";
    if (!impl_->loop)
        throw Failure{step, PA_ERR_INTERNAL};
    Impl::Lock lock(impl_->loop);
    if (impl_->context && pa_context_get_state(impl_->context) == PA_CONTEXT_READY)
        return;
    impl_->dropContextLocked();

    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Tallyvox");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "com.tallyvox.app");
    impl_->context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(impl_->loop),
                                                  impl_->clientName.c_str(), props);
    pa_proplist_free(props);
    if (!impl_->context)
        throw Failure{step, PA_ERR_INTERNAL};
    if (pa_context_connect(impl_->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        int code = impl_->error();
        impl_->dropContextLocked();
        throw Failure{step, code};
    }
    pa_context* context = impl_->context;
    bool settled = impl_->waitUntil([context] {
        auto state = pa_context_get_state(context);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    if (!settled || pa_context_get_state(context) != PA_CONTEXT_READY) {
        int code = settled ? impl_->error() : PA_ERR_TIMEOUT;
        impl_->dropContextLocked();
        throw Failure{step, code};
    }
    pa_context_set_subscribe_callback(context, Impl::onEvent, impl_.get());
    if (pa_operation* op =
            pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr))
        pa_operation_unref(op);
}

PulseConnection::Defaults PulseConnection::defaults() {
    connect();
    Impl::Lock lock(impl_->loop);
    struct Query {
        bool ok = false;
        Defaults value;
    } query;
    auto callback = [](pa_context*, const pa_server_info* info, void* userdata) {
        auto* q = static_cast<Query*>(userdata);
        if (!info)
            return;
        q->ok = true;
        q->value = {text(info->default_sink_name), text(info->default_source_name)};
    };
    if (!impl_->finish(pa_context_get_server_info(impl_->context, callback, &query)) || !query.ok)
        throw Failure{"read server info", impl_->error()};
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
        auto* q = static_cast<SinkQuery*>(userdata);
        if (eol < 0 && pa_context_errno(c) == PA_ERR_NOENTITY)
            q->missing = true;
        if (eol != 0 || !info)
            return;
        q->ok = true;
        fillSink(q->value, info);
    }
};
} // namespace

PulseConnection::SinkInfo PulseConnection::sink(const std::string& name) {
    connect();
    Impl::Lock lock(impl_->loop);
    SinkQuery query;
    if (!impl_->finish(pa_context_get_sink_info_by_name(impl_->context, name.c_str(),
                                                        SinkQuery::answer, &query)) ||
        !query.ok)
        throw Failure{"read output device", impl_->error()};
    return query.value;
}

std::optional<PulseConnection::SinkInfo> PulseConnection::sink(std::uint32_t index) {
    connect();
    Impl::Lock lock(impl_->loop);
    SinkQuery query;
    bool finished = impl_->finish(
        pa_context_get_sink_info_by_index(impl_->context, index, SinkQuery::answer, &query));
    if (query.missing)
        return std::nullopt;
    if (!finished || !query.ok)
        throw Failure{"read output device", impl_->error()};
    return query.value;
}

std::optional<PulseConnection::SourceInfo> PulseConnection::source(const std::string& name) {
    connect();
    Impl::Lock lock(impl_->loop);
    struct Query {
        bool ok = false;
        bool missing = false;
        SourceInfo value;
    } query;
    auto callback = [](pa_context* c, const pa_source_info* info, int eol, void* userdata) {
        auto* q = static_cast<Query*>(userdata);
        if (eol < 0 && pa_context_errno(c) == PA_ERR_NOENTITY)
            q->missing = true;
        if (eol != 0 || !info)
            return;
        q->ok = true;
        q->value.name = text(info->name);
        q->value.description = text(info->description);
        q->value.sampleRate = info->sample_spec.rate;
        q->value.channels = info->sample_spec.channels;
        q->value.isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
    };
    bool finished = impl_->finish(
        pa_context_get_source_info_by_name(impl_->context, name.c_str(), callback, &query));
    if (query.missing)
        return std::nullopt;
    if (!finished || !query.ok)
        throw Failure{"read input device", impl_->error()};
    return query.value;
}

void PulseConnection::record(const std::string& source, double sampleRate, int channels,
                             double fragmentSeconds, StreamHandlers handlers) {
    connect();
    Impl::Lock lock(impl_->loop);
    impl_->closeStreamLocked();

    pa_sample_spec sampleFormat{};
    sampleFormat.format = PA_SAMPLE_FLOAT32NE;
    sampleFormat.rate = static_cast<uint32_t>(sampleRate);
    sampleFormat.channels = static_cast<uint8_t>(channels);
    if (sampleRate < 1 || channels < 1 || channels > static_cast<int>(PA_CHANNELS_MAX) ||
        !pa_sample_spec_valid(&sampleFormat))
        throw Failure{"create record stream", PA_ERR_INVALID};

    impl_->stream =
        pa_stream_new(impl_->context, impl_->clientName.c_str(), &sampleFormat, nullptr);
    if (!impl_->stream)
        throw Failure{"create record stream", impl_->error()};
    impl_->handlers = std::make_shared<StreamHandlers>(std::move(handlers));
    pa_stream_set_read_callback(impl_->stream, Impl::onRead, impl_.get());
    pa_stream_set_state_callback(impl_->stream, Impl::onStreamState, impl_.get());

    // The server's default buffering holds back (and can lose) audio; fragments of a tenth
    // of a second or more keep it flowing without making the server wake every few
    // milliseconds.
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);
    attr.fragsize = static_cast<uint32_t>(
        pa_usec_to_bytes(static_cast<pa_usec_t>(fragmentSeconds * PA_USEC_PER_SEC), &sampleFormat));
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(impl_->stream, source.c_str(), &attr, flags) < 0) {
        int code = impl_->error();
        impl_->closeStreamLocked();
        throw Failure{"connect record stream", code};
    }
    pa_stream* stream = impl_->stream;
    bool settled = impl_->waitUntil([stream] {
        auto state = pa_stream_get_state(stream);
        return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
    });
    if (!settled || pa_stream_get_state(stream) != PA_STREAM_READY) {
        int code = settled ? impl_->error() : PA_ERR_TIMEOUT;
        impl_->closeStreamLocked();
        throw Failure{"start stream", code};
    }
    impl_->streamReady = true;
    // Still under the loop's lock, so no audio of this stream has been handed on yet.
    if (impl_->handlers->ready)
        impl_->handlers->ready();
}

void PulseConnection::closeStream() {
    if (!impl_->loop)
        return;
    Impl::Lock lock(impl_->loop);
    impl_->closeStreamLocked();
}

} // namespace tallyvox

#include "audio/linux/PulseConnectionImpl.h"

#include <optional>

namespace tallyvox {

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
            q->value = {pulse::text(info->default_sink_name),
                        pulse::text(info->default_source_name)};
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
    value.name = pulse::text(info->name);
    value.monitor = pulse::text(info->monitor_source_name);
    value.sampleRate = info->sample_spec.rate;
    value.channels = info->sample_spec.channels;
    value.running = info->state == PA_SINK_RUNNING;
    OutputDeviceInfo& device = value.device;
    device.bus = pulse::text(pa_proplist_gets(info->proplist, "device.bus"));
    device.api = pulse::text(pa_proplist_gets(info->proplist, "device.api"));
    device.formFactor = pulse::text(pa_proplist_gets(info->proplist, "device.form_factor"));
    if (const pa_sink_port_info* port = info->active_port) {
        device.activePort = pulse::text(port->name);
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
            q->value.name = pulse::text(info->name);
            q->value.description = pulse::text(info->description);
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

} // namespace tallyvox

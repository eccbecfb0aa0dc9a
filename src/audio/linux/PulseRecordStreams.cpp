#include "audio/linux/PulseConnectionImpl.h"
#include "audio/linux/RecordFragment.h"

#include <cstring>

namespace tallyvox {

void PulseConnection::Impl::onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    callbackBarrier("sound server defaults", [&] {
        auto* self = static_cast<Impl*>(userdata);
        if (!info)
            return;
        Defaults now{pulse::text(info->default_sink_name), pulse::text(info->default_source_name)};
        for (Open* open : self->streams)
            if (open->ready && !open->ended && open->handlers.defaultsChanged)
                callbackBarrier("record stream (defaults)",
                                [&] { open->handlers.defaultsChanged(now); });
    });
}

void PulseConnection::Impl::readAll(Open& open) {
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

void PulseConnection::Impl::onRead(pa_stream*, size_t, void* userdata) {
    callbackBarrier("record stream (audio)", [&] {
        auto* open = static_cast<Open*>(userdata);
        // Audio that comes before the stream is reported ready waits in the stream.
        if (open->ready)
            readAll(*open);
    });
}

int PulseConnection::Impl::streamError(pa_stream* s) {
    // A stream let go of by its failed context no longer names it.
    pa_context* c = pa_stream_get_context(s);
    return c ? pa_context_errno(c) : PA_ERR_CONNECTIONTERMINATED;
}

void PulseConnection::Impl::onStreamState(pa_stream* s, void* userdata) {
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

} // namespace tallyvox

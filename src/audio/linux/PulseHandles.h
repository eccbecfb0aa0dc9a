#pragma once

#include <pulse/pulseaudio.h>

#include <memory>

// Owning handles for libpulse objects. Releasing a context, stream or operation touches the
// main loop's state: do it with the loop's lock held (see PulseConnection.h).
namespace tallyvox::pulse {

struct ReleaseThreadedLoop {
    // Never with the lock held, never on the loop's own thread: stopping joins that thread.
    void operator()(pa_threaded_mainloop* loop) const {
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }
};
using ThreadedLoop = std::unique_ptr<pa_threaded_mainloop, ReleaseThreadedLoop>;

struct ReleaseContext {
    // Nothing of ours is called again: the callbacks go before the connection does.
    void operator()(pa_context* context) const {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};
using Context = std::unique_ptr<pa_context, ReleaseContext>;

struct ReleaseStream {
    void operator()(pa_stream* stream) const {
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
            pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
};
using Stream = std::unique_ptr<pa_stream, ReleaseStream>;

struct ReleaseOperation {
    void operator()(pa_operation* operation) const { pa_operation_unref(operation); }
};
using Operation = std::unique_ptr<pa_operation, ReleaseOperation>;

struct ReleaseProplist {
    void operator()(pa_proplist* props) const { pa_proplist_free(props); }
};
using Proplist = std::unique_ptr<pa_proplist, ReleaseProplist>;

// Lets an operation run to its end unwatched (the context keeps it until then); false when
// the request could not be sent.
inline bool letRun(pa_operation* operation) {
    return Operation(operation) != nullptr;
}

} // namespace tallyvox::pulse

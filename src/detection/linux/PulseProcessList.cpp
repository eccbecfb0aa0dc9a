#include "detection/linux/PulseProcessList.h"

#include "base/Log.h"
#include "detection/HostProcess.h"
#include "detection/linux/ProcFs.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <unistd.h>

namespace tallyvox {

namespace {

std::string property(const pa_proplist* props, const char* key) {
    const char* value = props ? pa_proplist_gets(props, key) : nullptr;
    return value ? value : "";
}

std::int32_t pidProperty(const pa_proplist* props, const char* key) {
    auto text = property(props, key);
    try {
        size_t used = 0;
        long pid = std::stol(text, &used);
        return used == text.size() && pid > 0 && pid <= INT32_MAX ? static_cast<std::int32_t>(pid)
                                                                  : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

constexpr double retrySeconds = 1.0;

// PipeWire's pulse server adds the pid it took from the client's socket: unlike
// "application.process.id", the client cannot choose it, and it is in the server's view.
constexpr const char* serverSidePid = "pipewire.sec.pid";

} // namespace

struct PulseProcessList::Impl {
    pa_threaded_mainloop* loop = nullptr;
    pa_mainloop_api* api = nullptr;
    pa_context* context = nullptr;
    pa_time_event* retry = nullptr;
    const std::int32_t ownPid = static_cast<std::int32_t>(::getpid());

    // A stream as listed, with the index of its client.
    struct Listed {
        Stream stream;
        std::uint32_t client = PA_INVALID_INDEX;
    };

    // Loop thread only.
    std::vector<Listed> playing;
    std::vector<Listed> recording;
    std::map<std::uint32_t, Source> sources;
    std::map<std::uint32_t, std::int32_t> serverPids; // by client
    std::map<std::uint32_t, std::int32_t> hostPids;   // by client, kept while it is connected
    ProcFs proc;
    int outstanding = 0;
    bool listing = false;
    bool dirty = false;
    bool listFailed = false;
    bool everConnected = false;
    bool failureLogged = false;

    // Read from any thread.
    mutable std::mutex mutex;
    mutable std::condition_variable listed;
    std::vector<Stream> snapshot;
    bool connected = false;
    std::uint64_t lists = 0;

    struct Observers {
        std::mutex mutex;
        std::map<int, OnChange> byKey;
        int nextKey = 0;
    };
    std::shared_ptr<Observers> observers = std::make_shared<Observers>();

    void connect() {
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Tallyvox");
        pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "com.tallyvox.app");
        context = pa_context_new_with_proplist(api, "Tallyvox meeting detection", props);
        pa_proplist_free(props);
        if (!context) {
            connectionFailed("cannot create a sound server context");
            return;
        }
        pa_context_set_state_callback(context, &Impl::stateChanged, this);
        // An observer must not start a sound server of its own.
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            connectionFailed(pa_strerror(pa_context_errno(context)));
    }

    void connectionFailed(const std::string& reason) {
        if (!failureLogged) {
            Log::error("Sound server connection failed: {}", reason);
            failureLogged = true;
        }
        setConnected(false);
        publish({});
        scheduleRetry();
    }

    void scheduleRetry() {
        if (retry)
            return;
        timeval when{};
        pa_gettimeofday(&when);
        pa_timeval_add(&when, static_cast<pa_usec_t>(retrySeconds * PA_USEC_PER_SEC));
        retry = api->time_new(api, &when, &Impl::retryDue, this);
    }

    static void retryDue(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* data) {
        auto* self = static_cast<Impl*>(data);
        api->time_free(event);
        self->retry = nullptr;
        self->dropContext();
        self->connect();
    }

    void dropContext() {
        if (!context)
            return;
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
        listing = false;
        dirty = false;
        outstanding = 0;
        hostPids.clear(); // client indexes start again with the next server
    }

    static void stateChanged(pa_context* context, void* data) {
        auto* self = static_cast<Impl*>(data);
        switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            self->ready();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            self->lost(pa_strerror(pa_context_errno(context)));
            break;
        default:
            break;
        }
    }

    void ready() {
        if (failureLogged || everConnected)
            Log::info("Sound server connected");
        failureLogged = false;
        everConnected = true;
        setConnected(true);
        pa_context_set_subscribe_callback(context, &Impl::changed, this);
        auto mask = static_cast<pa_subscription_mask_t>(
            PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT |
            PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER);
        if (auto* op = pa_context_subscribe(context, mask, &Impl::subscribed, this))
            pa_operation_unref(op);
        else
            Log::error("Process list listener failed: {}", pa_strerror(pa_context_errno(context)));
        requestLists();
    }

    void lost(const std::string& reason) {
        if (everConnected && !failureLogged) {
            Log::error("Sound server connection lost: {}", reason);
            failureLogged = true;
        }
        connectionFailed(reason);
    }

    static void subscribed(pa_context* context, int success, void*) {
        if (!success)
            Log::error("Process list listener failed: {}", pa_strerror(pa_context_errno(context)));
    }

    static void changed(pa_context*, pa_subscription_event_type_t, std::uint32_t, void* data) {
        static_cast<Impl*>(data)->requestLists();
    }

    // Events come in bursts: one listing runs at a time, and one more follows if anything
    // changed meanwhile.
    void requestLists() {
        if (!context || pa_context_get_state(context) != PA_CONTEXT_READY)
            return;
        if (listing) {
            dirty = true;
            return;
        }
        listing = true;
        dirty = false;
        listFailed = false;
        playing.clear();
        recording.clear();
        sources.clear();
        serverPids.clear();
        outstanding = 4;
        start(pa_context_get_sink_input_info_list(context, &Impl::sinkInput, this));
        start(pa_context_get_source_output_info_list(context, &Impl::sourceOutput, this));
        start(pa_context_get_source_info_list(context, &Impl::source, this));
        start(pa_context_get_client_info_list(context, &Impl::client, this));
    }

    void start(pa_operation* op) {
        if (op) {
            pa_operation_unref(op);
            return;
        }
        listFailed = true;
        finishOne();
    }

    void finishOne() {
        if (--outstanding > 0)
            return;
        listing = false;
        if (listFailed) {
            Log::error("Sound server stream list failed: {}",
                       context ? pa_strerror(pa_context_errno(context)) : "no connection");
            return;
        }
        if (dirty) {
            requestLists();
            return;
        }
        std::erase_if(hostPids, [&](const auto& entry) {
            auto listed = [&](const Listed& l) { return l.client == entry.first; };
            return std::none_of(playing.begin(), playing.end(), listed) &&
                   std::none_of(recording.begin(), recording.end(), listed);
        });
        std::vector<Stream> all;
        for (auto& listed : playing)
            keep(all, listed);
        for (auto& listed : recording) {
            auto& stream = listed.stream;
            if (auto it = sources.find(stream.source ? stream.source->index : PA_INVALID_INDEX);
                it != sources.end())
                stream.source = it->second;
            else
                stream.source.reset();
            keep(all, listed);
        }
        publish(std::move(all));
    }

    // The client's process as /proc here names it, worked out once per client.
    std::int32_t hostPid(const Listed& listed) {
        if (auto it = serverPids.find(listed.client); it != serverPids.end())
            return it->second;
        if (auto it = hostPids.find(listed.client); it != hostPids.end())
            return it->second;
        const auto& stream = listed.stream;
        auto pid = HostProcess::find(stream.pid, stream.binary, proc).value_or(stream.pid);
        if (pid != stream.pid)
            Log::debug("{} pid {} is pid {} here", stream.binary, stream.pid, pid);
        if (listed.client != PA_INVALID_INDEX)
            hostPids[listed.client] = pid;
        return pid;
    }

    void keep(std::vector<Stream>& all, Listed& listed) {
        listed.stream.pid = hostPid(listed);
        if (listed.stream.pid != ownPid)
            all.push_back(std::move(listed.stream));
    }

    // Sink inputs and source outputs describe their client the same way.
    template <class Info> static Stream streamOf(const Info* info, Stream::Direction direction) {
        Stream stream;
        stream.direction = direction;
        stream.index = info->index;
        stream.pid = pidProperty(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
        stream.binary = property(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY);
        stream.appName = property(info->proplist, PA_PROP_APPLICATION_NAME);
        stream.corked = info->corked != 0;
        return stream;
    }

    // True when the listing is over (the end, or a failure).
    bool listEnded(int eol) {
        if (eol < 0)
            listFailed = true;
        if (eol)
            finishOne();
        return eol != 0;
    }

    static void sinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* data) {
        auto* self = static_cast<Impl*>(data);
        if (self->listEnded(eol))
            return;
        Stream stream = streamOf(info, Stream::Direction::playing);
        stream.sink = info->sink;
        self->playing.push_back({std::move(stream), info->client});
    }

    static void sourceOutput(pa_context*, const pa_source_output_info* info, int eol, void* data) {
        auto* self = static_cast<Impl*>(data);
        if (self->listEnded(eol))
            return;
        Stream stream = streamOf(info, Stream::Direction::recording);
        // Only the index for now; the source list fills in the rest.
        stream.source = Source{info->source, {}, {}, false, false};
        self->recording.push_back({std::move(stream), info->client});
    }

    static void source(pa_context*, const pa_source_info* info, int eol, void* data) {
        auto* self = static_cast<Impl*>(data);
        if (self->listEnded(eol))
            return;
        Source source;
        source.index = info->index;
        source.name = info->name ? info->name : "";
        source.deviceAPI = property(info->proplist, PA_PROP_DEVICE_API);
        source.hardware = (info->flags & PA_SOURCE_HARDWARE) != 0;
        source.monitor = info->monitor_of_sink != PA_INVALID_INDEX;
        self->sources[source.index] = std::move(source);
    }

    static void client(pa_context*, const pa_client_info* info, int eol, void* data) {
        auto* self = static_cast<Impl*>(data);
        if (self->listEnded(eol))
            return;
        if (auto pid = pidProperty(info->proplist, serverSidePid); pid > 0)
            self->serverPids[info->index] = pid;
    }

    void setConnected(bool now) {
        std::lock_guard lock(mutex);
        connected = now;
    }

    void publish(std::vector<Stream> streams) {
        bool changed = false;
        {
            std::lock_guard lock(mutex);
            changed = streams != snapshot;
            if (changed)
                snapshot = std::move(streams);
            ++lists;
        }
        listed.notify_all();
        if (!changed)
            return;
        // Held while telling, so an observation that has ended is never called again.
        std::lock_guard lock(observers->mutex);
        for (auto& [key, observer] : observers->byKey)
            observer();
    }
};

PulseProcessList::PulseProcessList()
    : impl_(std::make_unique<Impl>()) {
    impl_->loop = pa_threaded_mainloop_new();
    if (!impl_->loop) {
        Log::error("Sound server connection failed: {}", "cannot create the libpulse main loop");
        return;
    }
    impl_->api = pa_threaded_mainloop_get_api(impl_->loop);
    pa_threaded_mainloop_set_name(impl_->loop, "tallyvox-detect");
    pa_threaded_mainloop_lock(impl_->loop);
    if (pa_threaded_mainloop_start(impl_->loop) < 0) {
        pa_threaded_mainloop_unlock(impl_->loop);
        Log::error("Sound server connection failed: {}", "cannot start the libpulse thread");
        pa_threaded_mainloop_free(impl_->loop);
        impl_->loop = nullptr;
        return;
    }
    impl_->connect();
    pa_threaded_mainloop_unlock(impl_->loop);
}

PulseProcessList::~PulseProcessList() {
    if (!impl_->loop)
        return;
    pa_threaded_mainloop_lock(impl_->loop);
    if (impl_->retry) {
        impl_->api->time_free(impl_->retry);
        impl_->retry = nullptr;
    }
    impl_->dropContext();
    pa_threaded_mainloop_unlock(impl_->loop);
    pa_threaded_mainloop_stop(impl_->loop);
    pa_threaded_mainloop_free(impl_->loop);
}

std::vector<AudioProcessList::Stream> PulseProcessList::streams() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->snapshot;
}

Subscription PulseProcessList::observe(OnChange onChange) {
    auto& observers = *impl_->observers;
    std::lock_guard lock(observers.mutex);
    int key = observers.nextKey++;
    observers.byKey.emplace(key, std::move(onChange));
    std::weak_ptr<Impl::Observers> weak = impl_->observers;
    return Subscription([weak, key] {
        if (auto observers = weak.lock()) {
            std::lock_guard lock(observers->mutex);
            observers->byKey.erase(key);
        }
    });
}

bool PulseProcessList::isConnected() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->connected;
}

std::uint64_t PulseProcessList::waitForList(std::uint64_t after, double seconds) const {
    std::unique_lock lock(impl_->mutex);
    impl_->listed.wait_for(lock, std::chrono::duration<double>(seconds),
                           [&] { return impl_->lists > after; });
    return impl_->lists;
}

} // namespace tallyvox

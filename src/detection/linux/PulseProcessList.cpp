#include "detection/linux/PulseProcessList.h"

#include "audio/linux/PulseClient.h"
#include "audio/linux/PulseConnection.h"
#include "base/CallbackBarrier.h"
#include "base/Log.h"
#include "detection/HostProcess.h"
#include "detection/linux/ProcFs.h"
#include "detection/linux/SocketConnections.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
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

// PipeWire adds the pid it took from the client's socket: unlike "application.process.id",
// the client cannot choose it. But the socket is the one PipeWire itself accepted: a client
// of its PulseAudio protocol server shows that server's pid here (0.3.65 does), and only
// clients of PipeWire's own protocol show their own.
constexpr const char* serverSidePid = "pipewire.sec.pid";

} // namespace

struct PulseProcessList::Impl {
    std::shared_ptr<PulseClient> sound;
    PulseConnection::Watch watch;
    const std::int32_t ownPid = static_cast<std::int32_t>(::getpid());

    // A stream as listed, with the index of its client.
    struct Listed {
        Stream stream;
        std::uint32_t client = PA_INVALID_INDEX;
    };

    // Loop thread only (the connection's callbacks).
    PulseConnection::Watching* watching = nullptr; // while connected
    std::vector<Listed> playing;
    std::vector<Listed> recording;
    std::map<std::uint32_t, Source> sources;
    std::map<std::uint32_t, std::int32_t> serverPids; // by client
    std::uint32_t ownClient = PA_INVALID_INDEX;
    bool saidServerPid = false;
    bool saidUnchecked = false;
    std::set<std::int32_t> saidRefused;
    std::map<std::uint32_t, std::int32_t> hostPids; // by client, kept while it is connected
    ProcFs proc;
    int outstanding = 0;
    bool listing = false;
    bool dirty = false;
    bool listFailed = false;

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

    void follow() {
        PulseConnection::Watcher watcher;
        watcher.events = PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT |
                         PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER;
        watcher.connected = [this](PulseConnection::Watching& now) {
            watching = &now;
            setConnected(true);
            requestLists();
        };
        watcher.disconnected = [this] {
            watching = nullptr;
            listing = false;
            dirty = false;
            outstanding = 0;
            hostPids.clear(); // client indexes start again with the next server
            setConnected(false);
            publish({});
        };
        watcher.changed = [this](PulseConnection::Watching&, std::uint32_t, std::uint32_t) {
            requestLists();
        };
        watch = sound->connection().watch(std::move(watcher));
    }

    // Events come in bursts: one listing runs at a time, and one more follows if anything
    // changed meanwhile.
    void requestLists() {
        pa_context* context = watching ? watching->context() : nullptr;
        if (!context)
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
        if (watching->keep(op))
            return;
        listFailed = true;
        finishOne();
    }

    void finishOne() {
        if (--outstanding > 0)
            return;
        listing = false;
        if (listFailed) {
            pa_context* context = watching ? watching->context() : nullptr;
            Log::error("Sound server stream list failed: {}",
                       context ? pa_strerror(pa_context_errno(context)) : "no connection");
            return;
        }
        if (dirty) {
            requestLists();
            return;
        }
        keepOnlyClientsOwnPids();
        std::erase_if(hostPids, [&](const auto& entry) {
            auto listed = [&](const Listed& l) { return l.client == entry.first; };
            return std::none_of(playing.begin(), playing.end(), listed) &&
                   std::none_of(recording.begin(), recording.end(), listed);
        });
        for (auto* list : {&playing, &recording})
            for (auto& listed : *list)
                listed.stream.pid = hostPid(listed);
        dropUnconnectedClaims();
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

    // Our own connection tells what the server's pids are worth: where it carries our pid the
    // server names its clients; where it carries another, that pid is the protocol server's,
    // on every connection made through it, and says nothing of the client.
    void keepOnlyClientsOwnPids() {
        if (serverPids.empty())
            return;
        auto own = serverPids.find(ownClient);
        if (own != serverPids.end() && own->second == ownPid)
            return;
        if (own == serverPids.end()) {
            serverPids.clear();
            return;
        }
        const auto server = own->second;
        if (!saidServerPid) {
            saidServerPid = true;
            Log::info("The sound server's clients carry its own pid {}: each stream's process is "
                      "taken from what its client says",
                      server);
        }
        std::erase_if(serverPids, [&](const auto& entry) { return entry.second == server; });
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

    // Where the server vouches for no pid, a client's pid is its own word: any recorder can
    // claim to be the meeting app. A claim stands only while the named process holds at
    // least as many connections to the server as there are clients claiming it; otherwise
    // none of them can be told apart from an impostor, and their streams name no process.
    void dropUnconnectedClaims() {
        std::map<std::int32_t, std::set<std::uint32_t>> claims; // host pid → clients
        for (const auto* list : {&playing, &recording})
            for (const auto& listed : *list)
                if (listed.stream.pid > 0 && listed.stream.pid != ownPid &&
                    !serverPids.contains(listed.client))
                    claims[listed.stream.pid].insert(listed.client);
        if (claims.empty())
            return;
        pa_context* context = watching ? watching->context() : nullptr;
        const char* server = context ? pa_context_get_server(context) : nullptr;
        auto path = server ? SocketConnections::serverSocketPath(server) : std::nullopt;
        // A server over TCP, or a kernel that lists no sockets: the claims cannot be checked.
        auto sockets = path ? SocketConnections::read() : std::nullopt;
        if (!sockets) {
            if (!saidUnchecked) {
                saidUnchecked = true;
                Log::info("The processes streams name cannot be checked against their "
                          "connections to the sound server ({})",
                          path ? "no socket list" : "not a local socket");
            }
            return;
        }
        std::set<std::int32_t> refused;
        for (const auto& [pid, clients] : claims) {
            const auto held = sockets->count(pid, *path);
            if (held && *held >= static_cast<int>(clients.size()))
                continue;
            refused.insert(pid);
            if (saidRefused.insert(pid).second)
                Log::info("Process {} is named by {} sound-server client(s) but holds {} "
                          "connection(s) to it: their streams are not taken as its own",
                          pid, clients.size(), held ? std::to_string(*held) : "no readable");
        }
        std::erase_if(saidRefused, [&](std::int32_t pid) { return !claims.contains(pid); });
        for (auto* list : {&playing, &recording})
            for (auto& listed : *list)
                if (refused.contains(listed.stream.pid) && !serverPids.contains(listed.client))
                    listed.stream.pid = 0;
    }

    void keep(std::vector<Stream>& all, Listed& listed) {
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

    // A listing's entries and its end come through here. An entry that cannot be taken in
    // is lost, but its list still ends, so the next listing is not held up.
    template <class Info, class Take>
    static void entry(const Info* info, int eol, void* data, const char* what, Take take) {
        auto* self = static_cast<Impl*>(data);
        if (callbackBarrier(what, true, [&] { return self->listEnded(eol); }))
            return;
        callbackBarrier(what, [&] { take(*self, *info); });
    }

    static void sinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* data) {
        entry(info, eol, data, "sink input list", [](Impl& self, const pa_sink_input_info& i) {
            Stream stream = streamOf(&i, Stream::Direction::playing);
            stream.sink = i.sink;
            self.playing.push_back({std::move(stream), i.client});
        });
    }

    static void sourceOutput(pa_context*, const pa_source_output_info* info, int eol, void* data) {
        entry(info, eol, data, "source output list",
              [](Impl& self, const pa_source_output_info& i) {
                  Stream stream = streamOf(&i, Stream::Direction::recording);
                  // Only the index for now; the source list fills in the rest.
                  stream.source = Source{i.source, {}, {}, false, false};
                  self.recording.push_back({std::move(stream), i.client});
              });
    }

    static void source(pa_context*, const pa_source_info* info, int eol, void* data) {
        entry(info, eol, data, "source list", [](Impl& self, const pa_source_info& i) {
            Source source;
            source.index = i.index;
            source.name = i.name ? i.name : "";
            source.deviceAPI = property(i.proplist, PA_PROP_DEVICE_API);
            source.hardware = (i.flags & PA_SOURCE_HARDWARE) != 0;
            source.monitor = i.monitor_of_sink != PA_INVALID_INDEX;
            self.sources[source.index] = std::move(source);
        });
    }

    static void client(pa_context* context, const pa_client_info* info, int eol, void* data) {
        static_cast<Impl*>(data)->ownClient = pa_context_get_index(context);
        entry(info, eol, data, "client list", [](Impl& self, const pa_client_info& i) {
            if (auto pid = pidProperty(i.proplist, serverSidePid); pid > 0)
                self.serverPids[i.index] = pid;
        });
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

PulseProcessList::PulseProcessList(std::shared_ptr<PulseClient> client)
    : impl_(std::make_unique<Impl>()) {
    impl_->sound =
        client ? std::move(client) : std::make_shared<PulseClient>("Tallyvox meeting detection");
    impl_->follow();
}

// The watch goes first: none of the list's callbacks runs once it is closed.
PulseProcessList::~PulseProcessList() {
    impl_->watch.close();
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

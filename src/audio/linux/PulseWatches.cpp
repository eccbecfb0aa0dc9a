#include "audio/linux/PulseConnectionImpl.h"
#include "base/Log.h"

namespace tallyvox {

pa_context* PulseConnection::Watched::context() const {
    return impl->state() == PA_CONTEXT_READY ? impl->context.get() : nullptr;
}

void PulseConnection::Impl::tellConnected(Watched& watched) {
    if (watched.watcher.connected)
        callbackBarrier("sound server watch (connected)",
                        [&] { watched.watcher.connected(watched); });
}

void PulseConnection::Impl::greet(Watched& watched) {
    watched.greeting = api->defer_new(api, &Impl::onGreeting, &watched);
}

void PulseConnection::Impl::dropGreeting(Watched& watched) {
    if (watched.greeting)
        api->defer_free(watched.greeting);
    watched.greeting = nullptr;
}

void PulseConnection::Impl::onGreeting(pa_mainloop_api*, pa_defer_event*, void* userdata) {
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
void PulseConnection::Impl::subscribe() {
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

void PulseConnection::Impl::onSubscribed(pa_context* c, int success, void*) {
    callbackBarrier("sound server subscription", [&] {
        if (!success)
            Log::error("Sound server listener failed: {}", pa_strerror(pa_context_errno(c)));
    });
}

void PulseConnection::Impl::onEvent(pa_context* c, pa_subscription_event_type_t type,
                                    uint32_t index, void* userdata) {
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

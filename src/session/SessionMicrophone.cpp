#include "session/SessionMicrophone.h"

#include "types/TranscriptionSession.h"

namespace tallyvox {

std::string text(MicProblem problem, const std::string& detail) {
    switch (problem) {
    case MicProblem::accessOff:
        return "Microphone access is off. Turn it on in the desktop's privacy settings "
               "(Microphone).";
    case MicProblem::accessRefused:
        return "Microphone access is off, so your own voice won't be transcribed.";
    case MicProblem::unavailable:
        return "Microphone unavailable: " + detail;
    case MicProblem::stopped:
        return "Microphone stopped: " + detail;
    }
    return "Microphone problem: " + detail;
}

std::shared_ptr<SessionMicrophone> SessionMicrophone::make(Executor& main, Clock& clock,
                                                           const PlatformServices& services,
                                                           Outlets outlets) {
    return std::shared_ptr<SessionMicrophone>(
        new SessionMicrophone(main, clock, services, std::move(outlets)));
}

SessionMicrophone::SessionMicrophone(Executor& main, Clock& clock, const PlatformServices& services,
                                     Outlets outlets)
    : main_(main)
    , clock_(clock)
    , services_(services)
    , outlets_(std::move(outlets)) {}

SessionMicrophone::~SessionMicrophone() {
    silenceCheck_.cancel();
    if (muteWatcher_)
        muteWatcher_->stop();
}

MicAuthorization SessionMicrophone::authorization() const {
    return services_.micAuthorization ? services_.micAuthorization() : MicAuthorization::authorized;
}

void SessionMicrophone::report(MicProblem problem, const std::string& detail) {
    if (outlets_.problem)
        outlets_.problem(problem, detail);
}

// MARK: Sessions

std::shared_ptr<MicCaptureService> SessionMicrophone::begin(Session session) {
    ++turn_;
    session_ = std::move(session);
    paused_ = false;
    warned_ = false;
    outlets_.userMuted.set(false);
    outlets_.meetingMuted.set(std::nullopt);
    if (!session_.use)
        return nullptr;

    auto status = authorization();
    if (status == MicAuthorization::denied || status == MicAuthorization::restricted) {
        report(MicProblem::accessOff);
        return nullptr;
    }
    open(status);
    askMutePermission();

    silenceCheck_.cancel();
    silenceCheck_ = TaskHandle::make();
    scheduleSilenceCheck(silenceCheck_);
    if (session_.followMute)
        followMute();
    return service_;
}

SessionMicrophone::Closed SessionMicrophone::end() {
    ++turn_;
    silenceCheck_.cancel();
    silenceCheck_ = {};
    outlets_.silent.set(false);

    Closed closed;
    closed.muteWatched = muteWatcher_ != nullptr;
    if (muteWatcher_) {
        muteWatcher_->stop();
        muteWatcher_.reset();
    }
    if (service_) {
        service_->setMuted(ignored());
        service_->pause();
    }
    closed.service = std::exchange(service_, nullptr);
    return closed;
}

void SessionMicrophone::open(MicAuthorization status) {
    auto mic = services_.makeMic();
    mic->meetingDevice = session_.meetingDevice;
    std::weak_ptr<SessionMicrophone> weak = weak_from_this();
    std::weak_ptr<MicCaptureService> weakMic = mic;
    mic->onFailure = [weak, weakMic](const Error& error) {
        auto self = weak.lock();
        auto failed = weakMic.lock();
        if (self && failed && self->service_ == failed)
            self->report(MicProblem::unavailable, error.what());
    };
    service_ = mic;

    if (status == MicAuthorization::notDetermined) {
        if (!services_.requestMicAccess)
            return;
        Executor* main = &main_;
        services_.requestMicAccess([main, weak, weakMic](bool granted) {
            main->post([weak, weakMic, granted] {
                auto self = weak.lock();
                auto asked = weakMic.lock();
                if (!self || !asked || self->service_ != asked)
                    return;
                if (!granted) {
                    self->report(MicProblem::accessRefused);
                    return;
                }
                // Paused or asleep: resuming opens it.
                if (self->paused_)
                    return;
                try {
                    asked->start(std::nullopt);
                } catch (const std::exception& error) {
                    self->report(MicProblem::unavailable, error.what());
                }
            });
        });
        return;
    }

    try {
        mic->start(std::nullopt);
    } catch (const std::exception& error) {
        report(MicProblem::unavailable, error.what());
    }
}

void SessionMicrophone::askAccessAhead() {
    if (authorization() == MicAuthorization::notDetermined && services_.requestMicAccess)
        services_.requestMicAccess([](bool) {});
}

// MARK: Pause and mute

void SessionMicrophone::pause() {
    paused_ = true;
    if (service_)
        service_->pause();
}

void SessionMicrophone::resume() {
    paused_ = false;
    if (!service_ || authorization() != MicAuthorization::authorized)
        return;
    try {
        service_->resume();
    } catch (const std::exception& error) {
        report(MicProblem::stopped, error.what());
    }
}

void SessionMicrophone::toggleUserMute() {
    outlets_.userMuted.set(!outlets_.userMuted.get());
    if (service_)
        service_->setMuted(ignored());
}

// MARK: Silence watch

void SessionMicrophone::scheduleSilenceCheck(const TaskHandle& handle) {
    std::weak_ptr<SessionMicrophone> weak = weak_from_this();
    main_.postAfter(Executor::Duration(checkInterval), [weak, handle] {
        if (handle.isCancelled())
            return;
        if (auto self = weak.lock())
            self->checkSilence(handle);
    });
}

void SessionMicrophone::checkSilence(const TaskHandle& handle) {
    SystemTime now = clock_.now();
    auto live = session_.liveSeconds ? session_.liveSeconds(now) : std::nullopt;
    if (service_ && live) {
        service_->check(now);
        auto counts = service_->counts();
        bool silent = TranscriptionSession::micSilent(counts.received, counts.ignored, *live);
        outlets_.silent.set(silent);
        if (silent && !warned_ && services_.canNotify && services_.postNotification) {
            // Once per session, shown or not: the watch goes on whatever the notification
            // service answers, or if it never answers.
            warned_ = true;
            services_.postNotification(
                {"mic-silent", "Your microphone gives no audio",
                 "Your own voice isn't being transcribed. Allow Tallyvox to use the microphone "
                 "in the desktop's privacy settings, and check the input in the sound settings."},
                nullptr);
        }
    }
    scheduleSilenceCheck(handle);
}

// MARK: Mute following

void SessionMicrophone::askMutePermission() {
    bool allowed = services_.muteWatcherIsAllowed && services_.muteWatcherIsAllowed();
    if (!session_.followMute || allowed || askedMutePermission_)
        return;
    askedMutePermission_ = true;
    if (services_.requestMuteWatcherPermission)
        services_.requestMuteWatcherPermission();
}

void SessionMicrophone::followMute() {
    if (muteWatcher_ || !service_)
        return;
    std::weak_ptr<SessionMicrophone> weak = weak_from_this();
    const std::uint64_t turn = turn_;
    if (services_.muteWatcherIsAllowed && services_.muteWatcherIsAllowed() &&
        services_.makeMuteWatcher) {
        service_->hold();
        Executor* main = &main_;
        const auto& meeting = session_.meeting;
        muteWatcher_ = services_.makeMuteWatcher(
            meeting.pid, meeting.isWeb ? std::optional<Platform>(meeting.platform) : std::nullopt,
            [main, weak, turn](std::optional<bool> muted) {
                main->post([weak, turn, muted] {
                    auto self = weak.lock();
                    // A watcher of an ended session may still report once.
                    if (!self || turn != self->turn_ || !self->muteWatcher_)
                        return;
                    self->outlets_.meetingMuted.set(muted);
                    if (self->service_)
                        self->service_->setMuted(self->ignored());
                });
            });
        muteWatcher_->start();
        return;
    }
    main_.postAfter(Executor::Duration(muteRetryInterval), [weak, turn] {
        auto self = weak.lock();
        if (self && turn == self->turn_)
            self->followMute();
    });
}

} // namespace tallyvox

#include "session/FallingBehindWatch.h"

#include "base/Log.h"

namespace tallyvox {

std::shared_ptr<FallingBehindWatch>
FallingBehindWatch::make(Executor& main, Observable<std::optional<FallingBehind>>& shown) {
    return std::shared_ptr<FallingBehindWatch>(new FallingBehindWatch(main, shown));
}

FallingBehindWatch::FallingBehindWatch(Executor& main,
                                       Observable<std::optional<FallingBehind>>& shown)
    : main_(main)
    , shown_(shown) {}

void FallingBehindWatch::begin(Session session) {
    session_ = std::move(session);
    backlog_ = BacklogWatch{};
    behind_.reset();
    shown_.set(std::nullopt);
    schedule(++generation_);
}

void FallingBehindWatch::schedule(std::uint64_t generation) {
    std::weak_ptr<FallingBehindWatch> weak = weak_from_this();
    main_.postAfter(Executor::Duration(interval), [weak, generation] {
        auto self = weak.lock();
        if (self && generation == self->generation_)
            self->check();
    });
}

void FallingBehindWatch::check() {
    auto waiting = session_.waiting();
    if (!waiting)
        return;
    if (backlog_.observe(*waiting)) {
        Log::error("Transcription is falling behind: {:.0f} s of audio waiting", *waiting);
        behind_ = session_.describe(*waiting);
        shown_.set(behind_);
        if (session_.notify)
            session_.notify(*behind_);
    } else if (behind_) {
        // The warning stands for the audio waiting now, not for the rest of the session; it
        // comes back without a second notification if the backlog does.
        if (*waiting > BacklogWatch::limit) {
            behind_->waitingSeconds = *waiting;
            shown_.set(behind_);
        } else if (shown_.get()) {
            shown_.set(std::nullopt);
        }
    }
    schedule(generation_);
}

} // namespace tallyvox

#pragma once

#include "base/Executor.h"
#include "base/Observable.h"
#include "session/FallingBehind.h"
#include "transcription/BacklogWatch.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace tallyvox {

// Every few seconds of a session, the audio waiting for recognition. The first time it
// passes the limit and still grows the user is told once; after that the warning shows only
// while that much audio waits. Main thread only.
class FallingBehindWatch : public std::enable_shared_from_this<FallingBehindWatch> {
public:
    static constexpr double interval = 5;

    struct Session {
        // The seconds waiting now; nothing once the session is over, which ends the watch.
        std::function<std::optional<double>()> waiting;
        // What the user is told, and the notification that goes with it.
        std::function<FallingBehind(double waitingSeconds)> describe;
        std::function<void(const FallingBehind&)> notify;
    };

    // `shown` is the warning as views see it; it must outlive the watch.
    static std::shared_ptr<FallingBehindWatch>
    make(Executor& main, Observable<std::optional<FallingBehind>>& shown);

    // Forgets the last session's warning and watches this one.
    void begin(Session session);

private:
    FallingBehindWatch(Executor& main, Observable<std::optional<FallingBehind>>& shown);
    void schedule(std::uint64_t generation);
    void check();

    Executor& main_;
    Observable<std::optional<FallingBehind>>& shown_;
    Session session_;
    BacklogWatch backlog_;
    // What the session said when it fell behind, kept while the backlog drains.
    std::optional<FallingBehind> behind_;
    std::uint64_t generation_ = 0;
};

} // namespace tallyvox

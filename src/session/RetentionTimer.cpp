#include "session/RetentionTimer.h"

namespace tallyvox {

RetentionTimer::RetentionTimer(Executor& main, Clock& clock, Settings settings,
                               TranscriptManager::TrashOperation trash)
    : main_(main)
    , clock_(clock)
    , settings_(std::move(settings))
    , trash_(std::move(trash)) {}

RetentionTimer::~RetentionTimer() {
    timer_.cancel();
}

void RetentionTimer::start() {
    runNow();
    timer_.cancel();
    // Cancelled by the destructor on this same thread, so the tick may point here.
    timer_ = main_.repeating(Executor::Duration(interval), [this] { runNow(); });
}

void RetentionTimer::runNow() {
    const auto root = settings_.root();
    TranscriptManager::removeWriteLeftovers(root, clock_.now());
    // "Never" is 0: nothing is old then.
    const int days = settings_.days();
    if (days < 1 || !trash_)
        return;
    TranscriptManager::trashOld(root, days, clock_.now(), trash_);
}

} // namespace tallyvox

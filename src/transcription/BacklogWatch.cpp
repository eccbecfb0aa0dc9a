#include "transcription/BacklogWatch.h"

namespace tallyvox {

bool BacklogWatch::observe(double waitingSeconds) {
    const bool growing = last_ && waitingSeconds > *last_;
    last_ = waitingSeconds;
    if (told_ || !growing || waitingSeconds <= limit)
        return false;
    told_ = true;
    return true;
}

} // namespace tallyvox

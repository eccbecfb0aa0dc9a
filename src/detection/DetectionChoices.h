#pragma once

#include "base/Observable.h"
#include "types/DetectedMeeting.h"

#include <functional>

namespace tallyvox {

// Which meetings the user wants noticed. Detection reads them on every pass, so a change
// counts at once; whoever owns the settings supplies them.
struct DetectionChoices {
    // Automatic detection at all.
    std::function<bool()> enabled;
    // This platform's own switch.
    std::function<bool(Platform)> watches;
    // Calls `changed` (on any thread) whenever a choice may have changed.
    std::function<Subscription(std::function<void()> changed)> observe;
    // Meetings in browser tabs at all; empty: none.
    std::function<bool()> web;
};

} // namespace tallyvox

#pragma once

#include "base/EventLoop.h"

#include <functional>
#include <memory>

namespace tallyvox::cli {

// Ctrl-C and termination requests, turned into tasks on the main loop. blockQuitSignals()
// comes first, before any thread is started, so that every thread inherits the mask and the
// signals go to the one thread watchQuitSignals() starts.
void blockQuitSignals();
void watchQuitSignals(std::shared_ptr<EventLoop> loop, std::function<void(int)> onSignal);

} // namespace tallyvox::cli

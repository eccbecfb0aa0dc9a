#pragma once

#include <chrono>
#include <thread>

namespace tallyvox::testing {

using Steady = std::chrono::steady_clock;

inline double since(Steady::time_point start) {
    return std::chrono::duration<double>(Steady::now() - start).count();
}

// Polls `done` until it holds or `seconds` pass; the machine may be slow and busy, so the
// limit only catches what never happens.
template <class Done> bool waitFor(double seconds, Done done) {
    auto deadline = Steady::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Steady::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

} // namespace tallyvox::testing

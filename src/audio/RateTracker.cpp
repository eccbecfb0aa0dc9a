#include "audio/RateTracker.h"

#include <cmath>

namespace tallyvox {

std::optional<double> RateTracker::add(long count, double at) {
    if (!start || at - last >= gap) {
        start = at;
        last = at;
        frames = 0;
        return std::nullopt;
    }
    frames += count;
    last = at;
    double elapsed = at - *start;
    if (elapsed < window)
        return std::nullopt;
    double measured = static_cast<double>(frames) / elapsed;
    start = at;
    frames = 0;
    return standardRate(measured);
}

std::optional<double> RateTracker::standardRate(double measured) {
    double nearest = rates[0];
    for (double rate : rates)
        if (std::abs(rate - measured) < std::abs(nearest - measured))
            nearest = rate;
    if (std::abs(nearest - measured) / nearest < 0.1)
        return nearest;
    return std::nullopt;
}

} // namespace tallyvox

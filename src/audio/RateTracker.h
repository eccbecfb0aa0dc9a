#pragma once

#include <array>
#include <optional>

namespace tallyvox {

// Measures the rate at which frames really arrive, since a stream can run at a rate other
// than the one its format claims.
struct RateTracker {
    static constexpr double window = 2.0;
    static constexpr double gap = 0.5;
    static constexpr std::array<double, 9> rates = {8000,  11025, 16000, 22050, 24000,
                                                    32000, 44100, 48000, 96000};

    std::optional<double> start; // uptime seconds; empty when not measuring
    double last = 0;
    long frames = 0;

    // The standard rate a full window measured, when one is close to the measurement.
    std::optional<double> add(long count, double at);
    void reset() { *this = RateTracker(); }

    // The standard rate nearest to `measured` when within 10 %.
    static std::optional<double> standardRate(double measured);
};

} // namespace tallyvox

#pragma once

#include <chrono>

namespace tallyvox {

using SystemTime = std::chrono::system_clock::time_point;
using Seconds = std::chrono::duration<double>;

// Wall time for what users read (file names, headers) and monotonic uptime for measuring.
class Clock {
public:
    virtual ~Clock() = default;
    virtual SystemTime now() const = 0;
    // Seconds since an arbitrary fixed point; never goes backwards.
    virtual double uptime() const = 0;

    static Clock& system();
};

class SystemClock final : public Clock {
public:
    SystemTime now() const override { return std::chrono::system_clock::now(); }
    double uptime() const override {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

inline Clock& Clock::system() {
    static SystemClock clock;
    return clock;
}

inline double secondsBetween(SystemTime from, SystemTime to) {
    return std::chrono::duration<double>(to - from).count();
}

inline SystemTime addSeconds(SystemTime t, double seconds) {
    return t + std::chrono::duration_cast<SystemTime::duration>(Seconds(seconds));
}

} // namespace tallyvox

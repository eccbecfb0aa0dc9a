#pragma once

#include "types/DetectedMeeting.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

// Turns per-pass sightings into started and ended meetings. Times are monotonic seconds
// (Clock::uptime), so a change of the wall clock neither starts nor ends a meeting.
struct MeetingDebouncer {
    struct Entry {
        DetectedMeeting meeting; // the sighting that created the entry
        double firstSeen = 0;
        std::optional<double> offSince; // a started meeting unseen since then
    };
    struct Result {
        std::vector<DetectedMeeting> active; // earliest first
        std::optional<double> recheckAt;     // when the next decision falls due
    };

    double startDelay = 1.5;
    double endDelay = 8.0;
    std::map<std::string, Entry> entries; // by meeting id

    Result update(const std::vector<DetectedMeeting>& seen,
                  const std::function<bool(std::int32_t pid)>& isRunning, double now);
};

} // namespace tallyvox

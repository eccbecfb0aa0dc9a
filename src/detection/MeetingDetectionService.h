#pragma once

#include "base/Observable.h"
#include "types/DetectedMeeting.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tallyvox {

// Decides which online meetings run on this computer and reports, after a debounce, when
// each starts and ends. Main thread only.
class MeetingDetectionService {
public:
    virtual ~MeetingDetectionService() = default;

    // The started meetings, earliest first.
    Observable<std::vector<DetectedMeeting>> meetings;
    // Browsers whose tabs cannot be read.
    Observable<std::set<std::string>> automationDenied;

    // Called on the main thread.
    std::function<void(const DetectedMeeting&)> onMeetingStarted;
    std::function<void(const DetectedMeeting&)> onMeetingEnded;

    virtual void start() = 0;
    // One detection pass now.
    virtual void evaluate() = 0;
    // The input device (sound-server source) the meeting's app records from, if known.
    virtual std::optional<std::string> inputDevice(const DetectedMeeting& meeting) const = 0;
    // The output (sound-server sink index) the meeting's app plays to, if it plays now.
    virtual std::optional<std::uint32_t> outputDevice(const DetectedMeeting&) const {
        return std::nullopt;
    }
};

} // namespace tallyvox

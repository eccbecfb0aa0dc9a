#pragma once

#include "base/Observable.h"
#include "detection/AudioProcessList.h"
#include "detection/BrowserTabs.h"
#include "detection/DetectionChoices.h"
#include "types/DetectedMeeting.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tallyvox {

// The web step of a detection pass: a browser that records sound and shows a meeting tab
// holds a web meeting. Tabs are read at most every 10 seconds per browser, and only while
// the browser records; a Meet tab counts once the browser has been heard playing sound.
class WebMeetingDetection {
public:
    static constexpr double cacheSeconds = 10;

    using IsGenuine = std::function<bool(std::int32_t pid, const Browser& browser)>;
    using MainProcess = std::function<std::int32_t(std::int32_t pid)>;

    // `unreadable` lists the browsers whose tabs cannot be read (shown to the user).
    WebMeetingDetection(std::shared_ptr<BrowserTabs> tabs,
                        Observable<std::set<std::string>>& unreadable);

    std::vector<DetectedMeeting> sightings(const std::vector<AudioProcessList::Stream>& streams,
                                           const DetectionChoices& choices, double now,
                                           const IsGenuine& isGenuine,
                                           const MainProcess& mainProcess);

    // A Meet tab is in a call once its browser was heard, or while it plays sound now.
    static bool meetInCall(bool wasHeard, const std::vector<std::string>& soundBinaries,
                           const Browser& browser);

private:
    struct Cached {
        double read = 0;
        std::vector<std::string> urls;
    };
    std::vector<std::string> tabsOf(const Browser& browser, std::int32_t pid, double now);

    std::shared_ptr<BrowserTabs> tabs_;
    Observable<std::set<std::string>>& unreadable_;
    std::map<std::string, Cached> cache_;
    std::set<std::string> meetHeard_;
    std::string lastFake_;
};

} // namespace tallyvox

#pragma once

#include "base/Clock.h"
#include "base/Executor.h"
#include "base/Observable.h"
#include "detection/AudioProcessList.h"
#include "detection/BrowserTabs.h"
#include "detection/DetectionChoices.h"
#include "types/DetectedMeeting.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tallyvox {

// The web step of a detection pass: a browser that records sound and shows a meeting tab
// holds a web meeting. Tabs are read at most every 10 seconds per browser, and only while
// the browser records; a Meet tab counts once the browser has been heard playing sound.
//
// Session files belong to the browser and may be large or odd, so with `Reading` they are
// read on a queue of their own: a pass never waits for them, it uses the tabs last read while
// one read per browser runs, and the 10 seconds count from when that read ended. A read still
// running after `readLimitSeconds` makes the browser unreadable until it lands.
class WebMeetingDetection {
public:
    static constexpr double cacheSeconds = 10;
    // Early in a recording the browser may not have saved the meeting's tab yet: until one
    // is seen, the tabs are read again this often, for this long.
    static constexpr double earlyCacheSeconds = 2;
    static constexpr double earlySeconds = 20;
    static constexpr double readLimitSeconds = 5;

    struct Reading {
        Executor& main;   // where passes run and reads land
        Executor& reader; // where the files are read
        Clock& clock;
    };

    // Nothing while the answer is still being worked out (the package database is asked on a
    // queue of its own): the browser is then neither taken nor reported as fake.
    using IsGenuine = std::function<std::optional<bool>(std::int32_t pid, const Browser& browser)>;
    using MainProcess = std::function<std::int32_t(std::int32_t pid)>;

    // `unreadable` lists the browsers whose tabs cannot be read (shown to the user).
    // Without `reading` the tabs are read during the pass (the command-line tools and tests).
    WebMeetingDetection(std::shared_ptr<BrowserTabs> tabs,
                        Observable<std::set<std::string>>& unreadable,
                        std::optional<Reading> reading = std::nullopt);

    // Called on the main thread when a read has landed, so a pass can use it at once.
    std::function<void()> onRead;

    std::vector<DetectedMeeting> sightings(const std::vector<AudioProcessList::Stream>& streams,
                                           const DetectionChoices& choices, double now,
                                           const IsGenuine& isGenuine,
                                           const MainProcess& mainProcess);

    // A Meet tab is in a call once its browser was heard, or while it plays sound now.
    static bool meetInCall(bool wasHeard, const std::vector<std::string>& soundBinaries,
                           const Browser& browser);

private:
    static const Browser* firstRunning(const std::string& binary);
    static bool takenByAnother(std::int32_t pid, const std::string& binary, const Browser& browser,
                               const IsGenuine& isGenuine);

    struct Cached {
        std::optional<double> since; // when the browser was first seen recording
        std::optional<double> read;  // when the last read ended
        bool meetingSeen = false;    // a meeting's address was among the tabs read
        std::vector<std::string> urls;
        std::optional<double> readingSince; // while a read runs
        std::uint64_t ticket = 0;           // which read the entry waits for
        bool overdue = false;
    };
    std::vector<std::string> tabsOf(const Browser& browser, std::int32_t pid, double now);
    static bool due(const Cached& entry, double now);
    void startRead(const Browser& browser, std::int32_t pid, Cached& entry, double now);
    void landed(const std::string& browser, std::uint64_t ticket, BrowserTabs::Read read);
    // Records the outcome of a read for the user and the log; answers the tabs that count.
    std::vector<std::string> note(const std::string& browser, BrowserTabs::Read read);
    std::set<std::string> notWrittenSaid_; // browsers whose missing file was said this recording

    std::shared_ptr<BrowserTabs> tabs_;
    Observable<std::set<std::string>>& unreadable_;
    std::optional<Reading> reading_;
    std::map<std::string, Cached> cache_;
    std::uint64_t tickets_ = 0;
    std::set<std::string> meetHeard_;
    // Processes already said to be fakes.
    std::set<std::int32_t> fakesSaid_;
    // Landing reads hold the detection through this, weakly; only the main thread locks it.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace tallyvox

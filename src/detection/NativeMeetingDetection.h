#pragma once

#include "base/Clock.h"
#include "base/Executor.h"
#include "base/SerialQueue.h"
#include "detection/AppGenuineness.h"
#include "detection/AudioProcessList.h"
#include "detection/DetectionChoices.h"
#include "detection/MeetingDebouncer.h"
#include "detection/MeetingDetectionService.h"
#include "detection/PackageOwners.h"
#include "detection/ProcessInfo.h"
#include "detection/WebMeetingDetection.h"

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>

namespace tallyvox {

// Finds meetings of the desktop meeting apps: an app counts while one of its processes
// records and the same executable plays sound, and only when it is genuine.
class NativeMeetingDetection : public MeetingDetectionService {
public:
    NativeMeetingDetection(Executor& main, Clock& clock,
                           std::shared_ptr<AudioProcessList> processes,
                           std::shared_ptr<ProcessInfo> processInfo, TrustList trust,
                           DetectionChoices choices, Executor* packageQueue = nullptr,
                           std::shared_ptr<BrowserTabs> browserTabs = nullptr,
                           Executor* tabQueue = nullptr);
    ~NativeMeetingDetection() override;

    void start() override;
    void evaluate() override;
    std::optional<std::string> inputDevice(const DetectedMeeting& meeting) const override;
    std::optional<std::uint32_t> outputDevice(const DetectedMeeting& meeting) const override;

    // What one pass saw; an app counts when it both records and plays.
    std::vector<DetectedMeeting> currentSightings();
    const MeetingDebouncer& debouncer() const { return debouncer_; }
    bool recheckPending() const { return recheck_.isActive(); }

private:
    // What /proc said about one pid during one pass.
    struct ProcessFacts {
        std::optional<std::string> executable;
        std::optional<std::int32_t> mainPid;
    };
    struct GenuineEntry {
        std::optional<std::uint64_t> startTime;
        std::optional<std::string> executable;
        Platform platform = Platform::zoom;
        bool genuine = false;
    };

    ProcessFacts& facts(std::int32_t pid);
    std::int32_t mainProcess(std::int32_t pid);
    bool isGenuine(const AudioProcessList::Stream& stream, Platform platform);
    std::optional<bool> isGenuineBrowser(std::int32_t pid, const Browser& browser);
    void logChanges(const std::vector<AudioProcessList::Stream>& streams);
    std::function<void()> evaluationRequest();

    Executor& main_;
    Clock& clock_;
    std::shared_ptr<AudioProcessList> processes_;
    std::shared_ptr<ProcessInfo> info_;
    TrustList trust_;
    DetectionChoices choices_;

    // The package database is asked here; a queue of our own unless one is given.
    std::unique_ptr<SerialQueue> ownPackageQueue_;
    PackageOwners packageOwners_;
    // Browsers' session files are read here, off the main thread; ours unless one is given.
    std::unique_ptr<SerialQueue> ownTabQueue_;

    MeetingDebouncer debouncer_;
    Subscription listListener_;
    Subscription settingsObserver_;
    TaskHandle pollTimer_;
    TaskHandle recheck_;
    bool started_ = false;

    std::string lastMicUsers_;
    std::string lastSoundUsers_;
    std::set<std::int32_t> loggedFakes_; // impostors already logged, by pid
    std::unordered_map<std::int32_t, GenuineEntry> genuine_;
    struct BrowserVerdict {
        std::optional<std::uint64_t> startTime;
        std::optional<std::string> executable;
        std::string browser;
        bool genuine = false;
    };
    // By process and browser: one executable name may be asked as two browsers.
    std::map<std::pair<std::int32_t, std::string>, BrowserVerdict> genuineBrowsers_;
    WebMeetingDetection web_;
    std::unordered_map<std::int32_t, ProcessFacts> passFacts_; // cleared every pass

    // Main-thread tasks hold the service through this, weakly; only the main thread locks it.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    // Set while an evaluation asked for by a change event waits to run: bursts make one pass.
    std::shared_ptr<std::atomic<bool>> posted_ = std::make_shared<std::atomic<bool>>(false);
};

} // namespace tallyvox

#include "detection/WebMeetingDetection.h"

#include "base/Log.h"
#include "detection/MeetingURL.h"

#include <algorithm>

namespace tallyvox {

namespace {

bool runs(const Browser& browser, const std::string& binary) {
    return std::find(browser.executables.begin(), browser.executables.end(), binary) !=
           browser.executables.end();
}

} // namespace

WebMeetingDetection::WebMeetingDetection(std::shared_ptr<BrowserTabs> tabs,
                                         Observable<std::set<std::string>>& unreadable)
    : tabs_(std::move(tabs))
    , unreadable_(unreadable) {}

bool WebMeetingDetection::meetInCall(bool wasHeard, const std::vector<std::string>& soundBinaries,
                                     const Browser& browser) {
    return wasHeard ||
           std::any_of(soundBinaries.begin(), soundBinaries.end(),
                       [&](const std::string& binary) { return runs(browser, binary); });
}

std::vector<std::string> WebMeetingDetection::tabsOf(const Browser& browser, std::int32_t pid,
                                                     double now) {
    auto cached = cache_.find(browser.name);
    if (cached != cache_.end() && now - cached->second.read < cacheSeconds)
        return cached->second.urls;
    auto read = tabs_->read(browser, pid);
    if (read.unreadable) {
        Log::error("Tab URL read failed for {}: {}", browser.name, *read.unreadable);
        unreadable_.modify([&](auto& names) { names.insert(browser.name); });
        read.urls.clear();
    } else {
        unreadable_.modify([&](auto& names) { names.erase(browser.name); });
    }
    // A failed read is remembered too, so a browser we cannot read is not asked every pass.
    cache_[browser.name] = {now, read.urls};
    return read.urls;
}

std::vector<DetectedMeeting>
WebMeetingDetection::sightings(const std::vector<AudioProcessList::Stream>& streams,
                               const DetectionChoices& choices, double now,
                               const IsGenuine& isGenuine, const MainProcess& mainProcess) {
    std::vector<DetectedMeeting> found;
    if (!tabs_)
        return found;
    std::vector<std::string> soundBinaries;
    for (const auto& stream : streams)
        if (stream.isPlaying())
            soundBinaries.push_back(stream.binary);

    for (const auto& browser : Browsers::all()) {
        auto recorder = std::find_if(streams.begin(), streams.end(), [&](const auto& stream) {
            return stream.isRecording() && stream.pid > 0 && runs(browser, stream.binary);
        });
        if (recorder == streams.end()) {
            // The next recording reads the tabs again at once.
            cache_.erase(browser.name);
            meetHeard_.erase(browser.name);
            continue;
        }
        const std::int32_t pid = mainProcess(recorder->pid);
        if (!isGenuine(pid, browser)) {
            if (lastFake_ != browser.name)
                Log::error("Ignored {}: not signed by the browser's maker", browser.name);
            lastFake_ = browser.name;
            continue;
        }

        std::set<Platform> platforms;
        for (const auto& url : tabsOf(browser, pid, now))
            if (auto platform = MeetingURL::platform(url))
                platforms.insert(*platform);

        bool meetCounts = false;
        if (platforms.count(Platform::meet)) {
            meetCounts = meetInCall(meetHeard_.count(browser.name) > 0, soundBinaries, browser);
            if (meetCounts)
                meetHeard_.insert(browser.name);
            else
                meetHeard_.erase(browser.name);
        } else {
            meetHeard_.erase(browser.name);
        }
        for (Platform platform : platforms) {
            if (platform == Platform::meet && !meetCounts)
                continue;
            if (choices.watches && choices.watches(platform))
                found.push_back({platform, pid, browser.name, true});
        }
    }
    return found;
}

} // namespace tallyvox

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
                                         Observable<std::set<std::string>>& unreadable,
                                         std::optional<Reading> reading)
    : tabs_(std::move(tabs))
    , unreadable_(unreadable)
    , reading_(reading) {}

bool WebMeetingDetection::meetInCall(bool wasHeard, const std::vector<std::string>& soundBinaries,
                                     const Browser& browser) {
    return wasHeard ||
           std::any_of(soundBinaries.begin(), soundBinaries.end(),
                       [&](const std::string& binary) { return runs(browser, binary); });
}

// The first browser that runs an executable of this name.
const Browser* WebMeetingDetection::firstRunning(const std::string& binary) {
    for (const auto& browser : Browsers::all())
        if (runs(browser, binary))
            return &browser;
    return nullptr;
}

bool WebMeetingDetection::takenByAnother(std::int32_t pid, const std::string& binary,
                                         const Browser& browser, const IsGenuine& isGenuine) {
    return std::any_of(Browsers::all().begin(), Browsers::all().end(), [&](const Browser& other) {
        return &other != &browser && runs(other, binary) && isGenuine(pid, other) == true;
    });
}

std::vector<std::string> WebMeetingDetection::note(const std::string& browser,
                                                   BrowserTabs::Read read) {
    if (read.notWrittenYet) {
        // Said once a recording, not as a failure: the browser will write the file shortly.
        if (notWrittenSaid_.insert(browser).second)
            Log::info("Tabs of {} not written yet: {}", browser,
                      read.unreadable.value_or("no session file"));
        unreadable_.modify([&](auto& names) { names.erase(browser); });
        return {};
    }
    if (read.unreadable) {
        Log::error("Tab URL read failed for {}: {}", browser, *read.unreadable);
        unreadable_.modify([&](auto& names) { names.insert(browser); });
        read.urls.clear();
    } else {
        unreadable_.modify([&](auto& names) { names.erase(browser); });
    }
    return std::move(read.urls);
}

bool WebMeetingDetection::due(const Cached& entry, double now) {
    if (!entry.read)
        return true;
    const bool early = !entry.meetingSeen && entry.since && now - *entry.since < earlySeconds;
    return now - *entry.read >= (early ? earlyCacheSeconds : cacheSeconds);
}

namespace {

bool holdsMeeting(const std::vector<std::string>& urls) {
    return std::any_of(urls.begin(), urls.end(), [](const std::string& url) {
        return MeetingURL::platform(url).has_value();
    });
}

} // namespace

std::vector<std::string> WebMeetingDetection::tabsOf(const Browser& browser, std::int32_t pid,
                                                     double now) {
    auto& entry = cache_[browser.name];
    if (!entry.since)
        entry.since = now;
    if (!reading_) {
        if (!due(entry, now))
            return entry.urls;
        // A failed read is remembered too, so a browser we cannot read is not asked every
        // pass.
        entry.urls = note(browser.name, tabs_->read(browser, pid));
        entry.meetingSeen = entry.meetingSeen || holdsMeeting(entry.urls);
        entry.read = now;
        return entry.urls;
    }
    if (entry.readingSince) {
        if (!entry.overdue && now - *entry.readingSince >= readLimitSeconds) {
            entry.overdue = true;
            entry.urls =
                note(browser.name, {{},
                                    "its session files take longer than " +
                                        std::to_string(int(readLimitSeconds)) + " s to read"});
        }
        return entry.urls;
    }
    if (due(entry, now))
        startRead(browser, pid, entry, now);
    return entry.urls;
}

void WebMeetingDetection::startRead(const Browser& browser, std::int32_t pid, Cached& entry,
                                    double now) {
    entry.readingSince = now;
    entry.overdue = false;
    entry.ticket = ++tickets_;
    // The task holds what it reads with, not the detection, which may be gone when it ends.
    reading_->reader.post([tabs = tabs_, browser, pid, main = &reading_->main,
                           alive = std::weak_ptr<int>(alive_), self = this, ticket = entry.ticket] {
        BrowserTabs::Read read;
        try {
            read = tabs->read(browser, pid);
        } catch (const std::exception& error) {
            read.unreadable = error.what();
        }
        main->post([alive, self, name = browser.name, ticket, read = std::move(read)]() mutable {
            if (alive.lock())
                self->landed(name, ticket, std::move(read));
        });
    });
}

void WebMeetingDetection::landed(const std::string& browser, std::uint64_t ticket,
                                 BrowserTabs::Read read) {
    auto entry = cache_.find(browser);
    // The recording stopped meanwhile: the next one reads afresh.
    if (entry == cache_.end() || entry->second.ticket != ticket || !entry->second.readingSince)
        return;
    entry->second.urls = note(browser, std::move(read));
    entry->second.meetingSeen = entry->second.meetingSeen || holdsMeeting(entry->second.urls);
    entry->second.read = reading_->clock.uptime();
    entry->second.readingSince.reset();
    if (onRead)
        onRead();
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

    // Processes already taken as one browser are not another's too.
    std::set<std::int32_t> taken;
    for (const auto& browser : Browsers::all()) {
        // One executable name may be two browsers' (the Chromium snap runs "chrome", as Google
        // Chrome does): each recording process is the browser whose maker it comes from.
        std::optional<std::int32_t> pid;
        std::optional<std::pair<std::int32_t, std::string>> fake;
        bool recording = false;
        for (const auto& stream : streams) {
            if (!stream.isRecording() || stream.pid <= 0 || !runs(browser, stream.binary))
                continue;
            const std::int32_t main = mainProcess(stream.pid);
            if (taken.count(main))
                continue;
            recording = true;
            const auto genuine = isGenuine(main, browser);
            if (genuine && *genuine) {
                pid = main;
                break;
            }
            if (genuine && !fake && firstRunning(stream.binary) == &browser)
                fake = {main, stream.binary};
        }
        if (!recording) {
            // The next recording reads the tabs again at once.
            cache_.erase(browser.name);
            notWrittenSaid_.erase(browser.name);
            meetHeard_.erase(browser.name);
            continue;
        }
        if (!pid) {
            // Said once a process, under the first browser of its executable's name, and only
            // when no browser of that name takes it as its own.
            if (fake && !fakesSaid_.count(fake->first) &&
                !takenByAnother(fake->first, fake->second, browser, isGenuine)) {
                if (fakesSaid_.size() >= 64)
                    fakesSaid_.clear();
                fakesSaid_.insert(fake->first);
                Log::error("Ignored {}: not signed by the browser's maker", browser.name);
            }
            continue;
        }
        const std::int32_t browserPid = *pid;
        taken.insert(browserPid);

        std::set<Platform> platforms;
        for (const auto& url : tabsOf(browser, browserPid, now))
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
                found.push_back({platform, browserPid, browser.name, true});
        }
    }
    return found;
}

} // namespace tallyvox

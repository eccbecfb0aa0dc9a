#include "detection/NativeMeetingDetection.h"

#include "base/Log.h"
#include "detection/MeetingApps.h"
#include "settings/AppInfo.h"

#include <algorithm>

namespace tallyvox {

namespace {

// One name per process, in stream order; "nobody" when there is none.
std::string usersText(const std::vector<const AudioProcessList::Stream*>& users) {
    std::vector<std::pair<std::int32_t, std::string>> seen;
    std::string text;
    for (const auto* stream : users) {
        const std::string& name = stream->binary.empty() ? stream->appName : stream->binary;
        if (name.empty())
            continue;
        std::pair<std::int32_t, std::string> key{stream->pid, name};
        if (std::find(seen.begin(), seen.end(), key) != seen.end())
            continue;
        seen.push_back(key);
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

std::optional<WebMeetingDetection::Reading> tabReading(Executor& main, Clock& clock,
                                                       Executor* reader) {
    if (!reader)
        return std::nullopt;
    return WebMeetingDetection::Reading{main, *reader, clock};
}

} // namespace

NativeMeetingDetection::NativeMeetingDetection(
    Executor& main, Clock& clock, std::shared_ptr<AudioProcessList> processes,
    std::shared_ptr<ProcessInfo> processInfo, TrustList trust, DetectionChoices choices,
    Executor* packageQueue, std::shared_ptr<BrowserTabs> browserTabs, Executor* tabQueue)
    : main_(main)
    , clock_(clock)
    , processes_(std::move(processes))
    , info_(std::move(processInfo))
    , trust_(std::move(trust))
    , choices_(std::move(choices))
    , ownPackageQueue_(packageQueue ? nullptr
                                    : std::make_unique<SerialQueue>("com.tallyvox.packages"))
    , packageOwners_(main, packageQueue ? *packageQueue : *ownPackageQueue_, clock,
                     [info = info_](const std::string& path) { return info->owningPackages(path); })
    , ownTabQueue_(tabQueue || !browserTabs
                       ? nullptr
                       : std::make_unique<SerialQueue>("com.tallyvox.browser-tabs"))
    , web_(std::move(browserTabs), automationDenied,
           tabReading(main, clock, tabQueue ? tabQueue : ownTabQueue_.get())) {
    packageOwners_.onAnswer = evaluationRequest();
    web_.onRead = evaluationRequest();
}

NativeMeetingDetection::~NativeMeetingDetection() {
    // The list and settings stop calling before anything else goes.
    listListener_.reset();
    settingsObserver_.reset();
    pollTimer_.cancel();
    recheck_.cancel();
}

std::function<void()> NativeMeetingDetection::evaluationRequest() {
    // Called from other threads, possibly while the service is being destroyed: the request
    // holds only the executor (which outlives the service) and shared state, and the task
    // touches the service after the main thread finds it still alive.
    return [&main = main_, posted = posted_, alive = std::weak_ptr<int>(alive_), self = this] {
        if (posted->exchange(true))
            return;
        main.post([posted, alive, self] {
            posted->store(false);
            if (alive.lock())
                self->evaluate();
        });
    };
}

void NativeMeetingDetection::start() {
    if (started_)
        return;
    started_ = true;

    listListener_ = processes_->observe(evaluationRequest());
    settingsObserver_ = choices_.observe(evaluationRequest());

    evaluate();
    Log::info("{}: meeting detection started", AppInfo::summary());

    std::weak_ptr<int> alive = alive_;
    pollTimer_ = main_.repeating(Executor::Duration(1.0), [this, alive] {
        if (alive.lock())
            evaluate();
    });
}

void NativeMeetingDetection::evaluate() {
    passFacts_.clear();
    std::vector<DetectedMeeting> seen;
    if (choices_.enabled())
        seen = currentSightings();

    double now = clock_.uptime();
    auto result = debouncer_.update(
        seen, [this](std::int32_t pid) { return info_->isAlive(pid); }, now);
    passFacts_.clear();

    const auto current = meetings.get();
    if (result.active != current) {
        std::vector<DetectedMeeting> started, ended;
        for (const auto& meeting : result.active) {
            bool known = std::any_of(current.begin(), current.end(),
                                     [&](const auto& m) { return m.id() == meeting.id(); });
            if (!known)
                started.push_back(meeting);
        }
        for (const auto& meeting : current)
            if (std::find(result.active.begin(), result.active.end(), meeting) ==
                result.active.end())
                ended.push_back(meeting);
        // The list is current before anyone is told: a start checks that its meeting is
        // still listed.
        meetings.set(result.active);
        for (const auto& meeting : started) {
            Log::info("Meeting started: {} in {} pid {}", rawValue(meeting.platform),
                      meeting.appName, meeting.pid);
            if (onMeetingStarted)
                onMeetingStarted(meeting);
        }
        for (const auto& meeting : ended) {
            Log::info("Meeting ended: {} in {} pid {}", rawValue(meeting.platform), meeting.appName,
                      meeting.pid);
            if (onMeetingEnded)
                onMeetingEnded(meeting);
        }
    }

    recheck_.cancel();
    recheck_ = {};
    if (result.recheckAt) {
        double delay = std::max(*result.recheckAt - now, 0.2);
        std::weak_ptr<int> alive = alive_;
        recheck_ = main_.postAfter(Executor::Duration(delay), [this, alive] {
            if (alive.lock())
                evaluate();
        });
    }
}

NativeMeetingDetection::ProcessFacts& NativeMeetingDetection::facts(std::int32_t pid) {
    auto [it, fresh] = passFacts_.try_emplace(pid);
    if (fresh)
        it->second.executable = info_->executable(pid);
    return it->second;
}

std::int32_t NativeMeetingDetection::mainProcess(std::int32_t pid) {
    auto& f = facts(pid);
    if (!f.mainPid)
        f.mainPid = ProcessTree::mainProcess(pid, *info_);
    return *f.mainPid;
}

bool NativeMeetingDetection::isGenuine(const AudioProcessList::Stream& stream, Platform platform) {
    std::int32_t pid = stream.pid;
    auto startTime = info_->startTime(pid);
    const auto& executable = facts(pid).executable;
    auto it = genuine_.find(pid);
    // A pid is checked once, until it is reused or runs something else.
    if (it == genuine_.end() || it->second.startTime != startTime ||
        it->second.executable != executable || it->second.platform != platform) {
        auto verdict = AppGenuineness::check(
            pid, platform, trust_, *info_,
            [this](const std::string& path, const ProcessInfo::FileFacts& file) {
                return packageOwners_.owners(path, file);
            });
        // Asked again on a later pass, once the package database has answered.
        if (verdict.undecided)
            return false;
        genuine_[pid] = {startTime, executable, platform, verdict.genuine};
        if (!verdict.genuine && loggedFakes_.insert(pid).second) {
            auto offender = stream.binary + " (pid " + std::to_string(pid) + ")";
            Log::error("Ignored {}: not signed by the meeting app's maker", offender);
            Log::info("Process {} is not genuine: {}", pid, verdict.reason);
        }
        it = genuine_.find(pid);
    }
    return it->second.genuine;
}

std::optional<bool> NativeMeetingDetection::isGenuineBrowser(std::int32_t pid,
                                                             const Browser& browser) {
    auto startTime = info_->startTime(pid);
    const auto& executable = facts(pid).executable;
    const auto key = std::make_pair(pid, browser.name);
    auto it = genuineBrowsers_.find(key);
    if (it == genuineBrowsers_.end() || it->second.startTime != startTime ||
        it->second.executable != executable) {
        // Meet has no app of its own, so extra trust given for Meet names browser executables
        // (a stand-in for trying things out).
        TrustedApp sources = browser.trust;
        for (const auto& extra : trust_)
            if (extra.platform == Platform::meet)
                sources.exactPaths.insert(sources.exactPaths.end(), extra.exactPaths.begin(),
                                          extra.exactPaths.end());
        auto verdict = AppGenuineness::check(
            pid, sources, *info_,
            [this](const std::string& path, const ProcessInfo::FileFacts& file) {
                return packageOwners_.owners(path, file);
            });
        if (verdict.undecided)
            return std::nullopt;
        if (!verdict.genuine)
            Log::info("Process {} is not genuine: {}", pid, verdict.reason);
        it = genuineBrowsers_
                 .insert_or_assign(
                     key, BrowserVerdict{startTime, executable, browser.name, verdict.genuine})
                 .first;
    }
    return it->second.genuine;
}

void NativeMeetingDetection::logChanges(const std::vector<AudioProcessList::Stream>& streams) {
    std::vector<const AudioProcessList::Stream*> appSound;
    std::vector<const AudioProcessList::Stream*> mic;
    for (const auto& stream : streams) {
        if (stream.isPlaying() && MeetingApps::forBinary(stream.binary))
            appSound.push_back(&stream);
        if (stream.isRecording())
            mic.push_back(&stream);
    }
    auto sound = usersText(appSound);
    if (sound != lastSoundUsers_) {
        Log::info("Meeting app sound from: {}", sound.empty() ? "nobody" : sound);
        lastSoundUsers_ = sound;
    }
    auto micText = usersText(mic);
    if (micText != lastMicUsers_) {
        Log::info("Mic in use by: {}", micText.empty() ? "nobody" : micText);
        lastMicUsers_ = micText;
    }
}

std::vector<DetectedMeeting> NativeMeetingDetection::currentSightings() {
    auto streams = processes_->streams();
    logChanges(streams);

    std::vector<DetectedMeeting> sightings;
    for (const auto& recorder : streams) {
        if (!recorder.isRecording() || recorder.pid <= 0)
            continue;
        const MeetingApp* app = MeetingApps::forBinary(recorder.binary);
        if (!app || !choices_.watches(app->platform))
            continue;
        const auto& executable = facts(recorder.pid).executable;
        if (!executable)
            continue;

        // The app must also play sound, from the same executable: a helper of another app
        // that borrows the name does not make a call.
        std::vector<const AudioProcessList::Stream*> players;
        for (const auto& player : streams)
            if (player.isPlaying() && player.pid > 0 &&
                std::find(app->executables.begin(), app->executables.end(), player.binary) !=
                    app->executables.end() &&
                facts(player.pid).executable == executable)
                players.push_back(&player);
        if (players.empty())
            continue;

        if (!isGenuine(recorder, app->platform))
            continue;
        bool genuinePlayer = std::any_of(players.begin(), players.end(), [&](const auto* player) {
            return isGenuine(*player, app->platform);
        });
        if (!genuinePlayer)
            continue;

        sightings.push_back({app->platform, mainProcess(recorder.pid), app->displayName, false});
    }

    if (choices_.web && choices_.web()) {
        auto web = web_.sightings(
            streams, choices_, clock_.uptime(),
            [this](std::int32_t pid, const Browser& browser) {
                return isGenuineBrowser(pid, browser);
            },
            [this](std::int32_t pid) { return mainProcess(pid); });
        sightings.insert(sightings.end(), web.begin(), web.end());
    }

    // Forget verdicts of processes that have gone, so the memory stays small.
    if (genuine_.size() > 64)
        std::erase_if(genuine_, [this](const auto& entry) { return !info_->isAlive(entry.first); });
    if (genuineBrowsers_.size() > 64)
        std::erase_if(genuineBrowsers_,
                      [this](const auto& entry) { return !info_->isAlive(entry.first.first); });
    return sightings;
}

std::optional<std::string>
NativeMeetingDetection::inputDevice(const DetectedMeeting& meeting) const {
    if (meeting.isWeb)
        return std::nullopt;
    std::optional<std::string> fallback;
    for (const auto& stream : processes_->streams()) {
        if (!stream.isRecording() || !stream.source ||
            !AudioProcessList::isPhysical(*stream.source))
            continue;
        const MeetingApp* app = MeetingApps::forBinary(stream.binary);
        if (!app || app->platform != meeting.platform)
            continue;
        if (stream.pid > 0 && ProcessTree::mainProcess(stream.pid, *info_) == meeting.pid)
            return stream.source->name;
        if (!fallback)
            fallback = stream.source->name;
    }
    return fallback;
}

// Streams of the meeting's own process tree; a playing one wins over a paused one. An app may
// play from another process than the one that records (a helper per direction, or one
// restarted mid-call with a new pid): without a stream of its own tree, the streams of other
// processes running the very same executable file as the same user are the meeting's.
std::optional<std::uint32_t>
NativeMeetingDetection::outputDevice(const DetectedMeeting& meeting) const {
    std::optional<std::uint32_t> paused;
    std::vector<const AudioProcessList::Stream*> others;
    const auto streams = processes_->streams();
    for (const auto& stream : streams) {
        if (stream.direction != AudioProcessList::Stream::Direction::playing || !stream.sink ||
            stream.pid <= 0)
            continue;
        if (ProcessTree::mainProcess(stream.pid, *info_) != meeting.pid) {
            others.push_back(&stream);
            continue;
        }
        if (!stream.corked)
            return stream.sink;
        if (!paused)
            paused = stream.sink;
    }
    if (paused || others.empty() || meeting.isWeb)
        return paused;

    const auto file = info_->executableFile(meeting.pid);
    const auto user = info_->userId(meeting.pid);
    if (!file || !user)
        return std::nullopt;
    std::optional<std::uint32_t> otherPaused;
    for (const auto* stream : others) {
        const auto theirs = info_->executableFile(stream->pid);
        if (!theirs || theirs->device != file->device || theirs->inode != file->inode ||
            info_->userId(stream->pid) != user)
            continue;
        if (!stream->corked)
            return stream->sink;
        if (!otherPaused)
            otherPaused = stream->sink;
    }
    return otherPaused;
}

} // namespace tallyvox

#include "fakes/FakeServices.h"

#include <algorithm>
#include <cmath>

namespace tallyvox::testing {

namespace {

std::vector<float> tone(double seconds, float level) {
    // A square wave of the given RMS, so level checks see exactly `level`.
    auto count = static_cast<size_t>(std::lround(seconds * AudioCaptureService::sampleRate));
    std::vector<float> samples(count);
    for (size_t i = 0; i < count; ++i)
        samples[i] = (i / 20) % 2 ? level : -level;
    return samples;
}

} // namespace

// MARK: FakeCapture

void FakeCapture::start(const ConsentRecord& consent) {
    if (startError)
        throw CaptureError(*startError);
    startedWith = consent;
}

void FakeCapture::pause() {
    ++pauses;
    paused = true;
}

void FakeCapture::resume() {
    ++resumes;
    if (resumeError)
        throw CaptureError(*resumeError);
    paused = false;
}

void FakeCapture::stop() {
    ++stops;
    std::lock_guard lock(mutex_);
    samples_.clear();
}

std::vector<float> FakeCapture::drain() {
    std::lock_guard lock(mutex_);
    return std::exchange(samples_, {});
}

CaptureStats FakeCapture::stats() const {
    std::lock_guard lock(mutex_);
    auto copy = stats_;
    copy.bufferedSeconds = double(samples_.size()) / sampleRate;
    return copy;
}

void FakeCapture::deliver(double seconds, float level) {
    auto samples = tone(seconds, level);
    std::lock_guard lock(mutex_);
    samples_.insert(samples_.end(), samples.begin(), samples.end());
    stats_.receivedSeconds += seconds;
    stats_.level = std::min(4 * level, 1.0f);
    stats_.levelSum += level;
    ++stats_.callbacks;
    if (level > 0.001f)
        stats_.lastSoundAt = clock_.now();
}

void FakeCapture::fail(const std::string& description) {
    if (onFailure)
        onFailure(CaptureError(description));
}

// MARK: FakeMic

void FakeMic::fail(const std::string& description) {
    running = false;
    if (onFailure)
        onFailure(Error(description));
}

void FakeMic::start(const std::optional<Device>& device) {
    ++starts;
    askedDevice = device ? device : (meetingDevice ? meetingDevice() : std::nullopt);
    if (startError)
        throw Error(*startError);
    running = true;
}

void FakeMic::pause() {
    ++pauses;
    running = false;
}

void FakeMic::resume() {
    ++resumes;
    if (resumeError)
        throw Error(*resumeError);
    running = true;
}

void FakeMic::stop() {
    ++stops;
    running = false;
    std::lock_guard lock(mutex_);
    samples_.clear();
}

std::vector<float> FakeMic::drain() {
    std::lock_guard lock(mutex_);
    return std::exchange(samples_, {});
}

void FakeMic::hold() {
    ++holds;
}

void FakeMic::setMuted(bool muted) {
    mutedCalls.push_back(muted);
}

void FakeMic::check(SystemTime) {
    ++checks;
}

MicCaptureService::Counts FakeMic::counts() const {
    return counters;
}

std::optional<std::string> FakeMic::deviceDescription() const {
    return "Test Mic (the default input)";
}

void FakeMic::deliver(double seconds, float level) {
    auto samples = tone(seconds, level);
    counters.received += seconds;
    std::lock_guard lock(mutex_);
    samples_.insert(samples_.end(), samples.begin(), samples.end());
}

// MARK: Detection

void FakeDetection::begin(const DetectedMeeting& meeting) {
    list(meeting);
    if (onMeetingStarted)
        onMeetingStarted(meeting);
}

void FakeDetection::list(const DetectedMeeting& meeting) {
    if (std::find(meetings.get().begin(), meetings.get().end(), meeting) == meetings.get().end())
        meetings.modify([&](auto& list) { list.push_back(meeting); });
}

void FakeDetection::end(const DetectedMeeting& meeting) {
    meetings.modify([&](auto& list) { std::erase(list, meeting); });
    if (onMeetingEnded)
        onMeetingEnded(meeting);
}

// MARK: Services

namespace {

class FakeMuteWatcher : public MuteWatcher {
public:
    explicit FakeMuteWatcher(std::shared_ptr<MuteWatcherRecord> record)
        : record_(std::move(record)) {}
    void start() override { record_->started = true; }
    void stop() override { record_->stopped = true; }

private:
    std::shared_ptr<MuteWatcherRecord> record_;
};

} // namespace

void FakeServices::answerMicRequests(bool granted) {
    auto requests = std::exchange(micRequests, {});
    micStatus = granted ? MicAuthorization::authorized : MicAuthorization::denied;
    for (auto& answer : requests)
        answer(granted);
}

void FakeServices::sleep() {
    if (willSleep_)
        willSleep_();
}

void FakeServices::wake() {
    if (didWake_)
        didWake_();
}

PlatformServices FakeServices::services() {
    PlatformServices s;
    s.makeDetection = [this](DetectionChoices) {
        auto made = std::make_unique<FakeDetection>();
        detection = made.get();
        return std::unique_ptr<MeetingDetectionService>(std::move(made));
    };
    s.modelFetcher = [](const DownloadItem&, std::function<void(double)>,
                        std::function<void(std::optional<std::string>)>) {};
    s.makeCapture = [this] {
        auto capture = std::make_shared<FakeCapture>(clock_);
        capture->startError = std::exchange(nextCaptureStartError, std::nullopt);
        captures.push_back(capture);
        return std::shared_ptr<AudioCaptureService>(capture);
    };
    s.outputIsBuiltInSpeakers = [this] { return builtInSpeakers; };
    s.makeMic = [this] {
        auto mic = std::make_shared<FakeMic>();
        mic->startError = std::exchange(nextMicStartError, std::nullopt);
        mics.push_back(mic);
        return std::shared_ptr<MicCaptureService>(mic);
    };
    s.micAuthorization = [this] { return micStatus; };
    s.requestMicAccess = [this](std::function<void(bool)> answer) {
        micRequests.push_back(std::move(answer));
    };
    s.muteWatcherIsAllowed = [this] { return muteAllowed; };
    s.requestMuteWatcherPermission = [this] { ++mutePermissionRequests; };
    s.makeMuteWatcher = [this](std::int32_t pid, std::optional<Platform> page,
                               MuteWatcher::OnChange onChange) {
        auto record = std::make_shared<MuteWatcherRecord>();
        record->pid = pid;
        record->page = page;
        record->onChange = std::move(onChange);
        muteWatchers.push_back(record);
        return std::unique_ptr<MuteWatcher>(new FakeMuteWatcher(record));
    };
    s.canNotify = canNotify;
    s.requestNotificationAuthorization =
        [this](std::function<void(bool, std::optional<std::string>)> answer) {
            answer(notificationsGranted, notificationAuthError);
        };
    s.postNotification = [this](const UserNotification& note,
                                std::function<void(std::optional<std::string>)> accepted) {
        notifications.push_back(note);
        if (accepted && !notificationsNeverAnswer)
            accepted(std::nullopt);
    };
    s.observeSleepWake = [this](std::function<void()> willSleep, std::function<void()> didWake) {
        willSleep_ = std::move(willSleep);
        didWake_ = std::move(didWake);
        ++sleepWakeObservers;
        return Subscription([this, alive = std::weak_ptr<bool>(alive_)] {
            if (alive.lock()) {
                --sleepWakeObservers;
                willSleep_ = nullptr;
                didWake_ = nullptr;
            }
        });
    };
    s.launchAtLoginEnabled = [this] { return loginItem; };
    s.setLaunchAtLogin = [this](bool on) {
        ++loginItemSets;
        if (loginItemError)
            throw Error(*loginItemError);
        loginItem = on;
    };
    s.calendarRoster = [this](Platform, SystemTime) { return calendar; };
    s.machineSpeed = [this] { return machineSpeed; };
    s.keepMachineSpeed = [this](const MachineSpeed& speed) { keptSpeeds.push_back(speed); };
    s.revealFile = [this](const std::filesystem::path& file) {
        revealed.push_back(file);
        return revealFails;
    };
    s.trash = [this](const std::filesystem::path& file) {
        trashed.push_back(file);
        std::filesystem::remove(file);
    };
    s.loadRecognizer = [this](WhisperModel model) { return loadRecognizer(model); };
    s.loadDiarizer = loadDiarizer;
    s.makeEngineQueue = [this] { return engineQueue; };
    return s;
}

} // namespace tallyvox::testing

#pragma once

#include "audio/AudioCaptureService.h"
#include "audio/MicCaptureService.h"
#include "audio/MuteWatcher.h"
#include "detection/MeetingDetectionService.h"
#include "session/PlatformServices.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox::testing {

// Meeting audio that a test delivers by hand; records every call the manager makes.
class FakeCapture : public AudioCaptureService {
public:
    explicit FakeCapture(Clock& clock)
        : clock_(clock) {}

    void start(const ConsentRecord& consent) override;
    void pause() override;
    void resume() override;
    void stop() override;
    std::vector<float> drain() override;
    Stats stats() const override;

    // Appends `seconds` of audio; a level above 0.001 counts as sound heard.
    void deliver(double seconds, float level = 0.1f);
    // What the sound server does when the stream breaks.
    void fail(const std::string& description);

    std::optional<std::string> startError;
    std::optional<std::string> resumeError;
    std::optional<ConsentRecord> startedWith;
    int pauses = 0;
    int resumes = 0;
    int stops = 0;
    bool paused = false;

private:
    Clock& clock_;
    mutable std::mutex mutex_;
    std::vector<float> samples_;
    Stats stats_;
};

class FakeMic : public MicCaptureService {
public:
    void start(const std::optional<Device>& device) override;
    void pause() override;
    void resume() override;
    void stop() override;
    std::vector<float> drain() override;
    void hold() override;
    void setMuted(bool muted) override;
    void check(SystemTime now) override;
    Counts counts() const override;
    std::optional<std::string> deviceDescription() const override;
    int restarts() const override { return 0; }

    void deliver(double seconds, float level = 0.1f);
    // What the sound server does when the stream that start() began cannot be built.
    void fail(const std::string& description);

    std::optional<std::string> startError;
    std::optional<std::string> resumeError;
    int starts = 0;
    int pauses = 0;
    int resumes = 0;
    int stops = 0;
    int holds = 0;
    int checks = 0;
    bool running = false;
    std::vector<bool> mutedCalls;
    std::optional<Device> askedDevice; // what meetingDevice answered at the last start
    Counts counters;

private:
    mutable std::mutex mutex_;
    std::vector<float> samples_;
};

// What became of one mute watcher the manager made.
struct MuteWatcherRecord {
    std::int32_t pid = 0;
    std::optional<Platform> page;
    MuteWatcher::OnChange onChange;
    bool started = false;
    bool stopped = false;
};

class FakeDetection : public MeetingDetectionService {
public:
    void start() override { ++starts; }
    void evaluate() override { ++evaluations; }
    std::optional<std::string> inputDevice(const DetectedMeeting&) const override { return device; }
    std::optional<std::uint32_t> outputDevice(const DetectedMeeting&) const override {
        return output;
    }

    // Reports a meeting the way the debouncer does.
    void begin(const DetectedMeeting& meeting);
    void end(const DetectedMeeting& meeting);
    // Listed as running without telling anyone (it was seen before).
    void list(const DetectedMeeting& meeting);

    int starts = 0;
    int evaluations = 0;
    std::optional<std::string> device;
    std::optional<std::uint32_t> output;
};

// Every platform service the session manager uses, as fakes that tests steer and inspect.
// Must outlive the manager it serves.
class FakeServices {
public:
    explicit FakeServices(Clock& clock)
        : clock_(clock) {}

    PlatformServices services();

    FakeDetection* detection = nullptr; // made by the manager, owned by it
    std::vector<std::shared_ptr<FakeCapture>> captures;
    std::vector<std::shared_ptr<FakeMic>> mics;
    std::vector<std::shared_ptr<MuteWatcherRecord>> muteWatchers;
    std::shared_ptr<FakeCapture> capture() const { return captures.back(); }
    std::shared_ptr<FakeMic> mic() const { return mics.back(); }

    // Set before a capture is made: its start throws with this description.
    std::optional<std::string> nextCaptureStartError;

    // Set before a microphone is made: its start throws with this description.
    std::optional<std::string> nextMicStartError;
    MicAuthorization micStatus = MicAuthorization::authorized;
    std::vector<std::function<void(bool)>> micRequests;
    void answerMicRequests(bool granted);

    bool muteAllowed = true;
    int mutePermissionRequests = 0;

    bool canNotify = true;
    bool notificationsGranted = true;
    std::optional<std::string> notificationAuthError;
    std::vector<UserNotification> notifications;
    // A notification service that takes requests and never says whether they were shown.
    bool notificationsNeverAnswer = false;

    void sleep();
    void wake();
    int sleepWakeObservers = 0;

    bool builtInSpeakers = false;
    bool loginItem = false;
    std::optional<std::string> loginItemError;
    int loginItemSets = 0;

    std::optional<CalendarEvent> calendar;
    // Without a figure the model is recommended by memory alone, as on a machine never probed.
    std::optional<MachineSpeed> machineSpeed;
    // What the manager kept of its sessions' speed, in order.
    std::vector<MachineSpeed> keptSpeeds;
    std::vector<std::filesystem::path> trashed;
    std::vector<std::filesystem::path> revealed;
    // Why the file manager showed nothing; none: it showed the file.
    std::optional<std::string> revealFails;

    RecognizerLoader loadRecognizer;
    DiarizerLoader loadDiarizer;
    std::shared_ptr<Executor> engineQueue;

private:
    Clock& clock_;
    std::function<void()> willSleep_;
    std::function<void()> didWake_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace tallyvox::testing

#include "app/linux/LinuxPlatformServices.h"

#include "app/linux/AccessibilityBus.h"
#include "app/linux/AutostartEntry.h"
#include "app/linux/DesktopNotifications.h"
#include "app/linux/EdsCalendar.h"
#include "app/linux/FileManager.h"
#include "app/linux/SleepWatcher.h"
#include "audio/AccessibilityMuteWatcher.h"
#include "audio/linux/AtspiTree.h"
#include "audio/linux/PulseClient.h"
#include "audio/linux/PulseMicInput.h"
#include "audio/linux/PulseOutputTap.h"
#include "base/Log.h"
#include "base/SerialQueue.h"
#include "detection/MeetingURL.h"
#include "detection/linux/SystemMeetingDetection.h"
#include "settings/SettingsManager.h"
#include "settings/UserDefaults.h"
#include "speakers/SpeakerDiarizationService.h"
#include "speakers/SpeakerEmbedder.h"
#include "transcription/SpeedProbe.h"
#include "transcription/WhisperContext.h"
#include "transcripts/linux/GioTrash.h"
#include "types/SpeakerModels.h"

namespace tallyvox::linux_services {

bool useGPUSetting() {
    UserDefaults defaults(UserDefaults::standardFile());
    return SettingsManager::useGPU({defaults, {}});
}

PlatformServices linuxPlatformServices(Executor& main, Clock& clock, const std::string& executable,
                                       const TrustList& trust) {
    PlatformServices services;
    Executor* loop = &main;
    Clock* time = &clock;

    // One sound-server client for the process: detection, meeting audio, the microphone and
    // the output check share its connection and its thread.
    auto sound = std::make_shared<PulseClient>("Tallyvox");
    services.makeDetection = [loop, time, trust, sound](DetectionChoices choices) {
        return makeSystemMeetingDetection(*loop, *time, trust, std::move(choices), sound);
    };
    services.makeCapture = [loop, sound] { return makePulseCapture(*loop, sound); };
    auto speakers = std::make_shared<PulseSpeakersCheck>(sound);
    services.outputIsBuiltInSpeakers = [speakers] { return (*speakers)(); };
    services.makeMic = [loop, sound] { return makePulseMic(*loop, sound); };

    // A plain desktop has no permission system for the microphone: it counts as allowed,
    // and a source that cannot be opened is reported when the microphone starts.
    services.micAuthorization = [] { return MicAuthorization::authorized; };
    services.requestMicAccess = [](const std::function<void(bool)>& answer) { answer(true); };

    // Following the meeting app's mute button reads its controls over the accessibility bus;
    // while the bus is off, apps expose nothing.
    services.muteWatcherIsAllowed = [] { return AccessibilityBus::isEnabled(); };
    services.requestMuteWatcherPermission = [] { AccessibilityBus::enable(); };
    services.makeMuteWatcher = [](std::int32_t pid, std::optional<Platform> page,
                                  MuteWatcher::OnChange onChange) -> std::unique_ptr<MuteWatcher> {
        return std::make_unique<AccessibilityMuteWatcher>(
            [] { return std::make_unique<AtspiTree>(); }, pid, page,
            [](std::string_view url) { return MeetingURL::platform(url); }, std::move(onChange));
    };

    services.canNotify = DesktopNotifications::available();
    services.requestNotificationAuthorization =
        [](const std::function<void(bool, std::optional<std::string>)>& answer) {
            answer(DesktopNotifications::available(), std::nullopt);
        };
    // One connection for the process, kept open: a click is reported only to the
    // connection that posted the notification.
    auto notifications = std::make_shared<DesktopNotifications>();
    services.postNotification =
        [notifications](const UserNotification& note,
                        const std::function<void(std::optional<std::string>)>& accepted) {
            auto error = notifications->show(note.title, note.body);
            if (accepted)
                accepted(error);
        };
    services.observeNotificationClicks = [loop, notifications](std::function<void()> clicked) {
        // A click already on its way to the main thread is dropped once the subscription
        // ends there: what it would show may be gone.
        auto live = std::make_shared<bool>(true);
        notifications->setOnClicked([loop, clicked, live] {
            loop->post([clicked, live] {
                if (*live)
                    clicked();
            });
        });
        return Subscription([notifications, live] {
            *live = false;
            notifications->setOnClicked(nullptr);
        });
    };

    services.observeSleepWake = [loop](const std::function<void()>& willSleep,
                                       const std::function<void()>& didWake) {
        auto watcher = std::make_shared<SleepWatcher>(
            [loop, willSleep](const std::function<void()>& done) {
                // Paused on the main thread first; only then may the system go to sleep.
                loop->post([willSleep, done] {
                    willSleep();
                    done();
                });
            },
            [loop, didWake] { loop->post(didWake); });
        return Subscription([watcher]() mutable { watcher.reset(); });
    };

    services.launchAtLoginEnabled = [] { return AutostartEntry::isEnabled(); };
    services.setLaunchAtLogin = [executable](bool on) {
        // Said either way: a login item that never starts the app is otherwise hard to trace.
        try {
            AutostartEntry::setEnabled(on, executable);
        } catch (const std::exception& error) {
            Log::error("Launch at login not turned {}: {}", on ? "on" : "off", error.what());
            throw;
        }
        Log::info("Launch at login {}", on ? "on" : "off");
    };

    // The meeting's title and invitees come from the desktop's calendar service; asked only
    // when the user turned the calendar setting on.
    auto calendar = std::make_shared<EdsCalendar>();
    services.calendarRoster = [calendar](Platform platform,
                                         SystemTime now) -> std::optional<CalendarEvent> {
        auto meeting = calendar->current(platform, now);
        if (!meeting)
            return std::nullopt;
        return CalendarEvent{.title = std::move(meeting->title),
                             .names = std::move(meeting->names)};
    };

    services.trash = [](const std::filesystem::path& file) { moveToTrash(file); };
    // Read on the main thread at launch, so it must not choose the device: that loads the
    // graphics libraries and computes on the device. Until the probe below has chosen, this is
    // the processor's figure; the probe's answer replaces it with the chosen device's.
    services.machineSpeed = [] { return MachineSpeed::kept(); };
    // The probe keeps the processors busy for a moment: never on the thread that draws.
    auto probeQueue = std::make_shared<SerialQueue>("com.tallyvox.speed-probe");
    services.measureMachineSpeed =
        [loop, probeQueue](std::function<void(std::optional<MachineSpeed>)> done) {
            probeQueue->post([loop, done = std::move(done)] {
                loop->post([done, speed = SpeedProbe::machineSpeed(
                                      MachineSpeed::cacheFile(), {},
                                      ComputeDevices::choose(useGPUSetting()))] { done(speed); });
            });
        };
    services.keepMachineSpeed = [](const MachineSpeed& speed) {
        try {
            speed.store();
        } catch (const std::exception& e) {
            Log::error("Measured recognition speed not kept: {}", e.what());
        }
    };
    services.revealFile = [](const std::filesystem::path& file) {
        auto why = showInFileManager(file);
        if (why)
            Log::error("Cannot show {} in the file manager: {}", file.string(), *why);
        return why;
    };
    services.loadRecognizer = whisperLoader(useGPUSetting);
    services.loadDiarizer = diarizerLoader([]() -> std::unique_ptr<Embedder> {
        return SpeakerEmbedder::load(SpeakerModels::localPath());
    });
    return services;
}

} // namespace tallyvox::linux_services

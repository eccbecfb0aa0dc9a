#include "session/SessionHarness.h"

#include "fakes/Lines.h"
#include "session/SpeakerNames.h"

using namespace tallyvox;
using namespace tallyvox::testing;
namespace fs = std::filesystem;
namespace Key = SettingsManager::Key;

namespace {

class SessionServices : public SessionHarness {
protected:
    void startWithMic(MicAuthorization status = MicAuthorization::authorized) {
        fakes.micStatus = status;
        launch(); // settings are read afresh at each start
        setProtected(Key::includeMic, true);
        manager->start(zoom, confirmed(zoom));
        executor.runUntilIdle();
    }
};

} // namespace

TEST_F(SessionServices, MicrophoneByAuthorisation) {
    fakes.muteAllowed = false;
    startWithMic(MicAuthorization::denied);
    EXPECT_FALSE(manager->hasMic());
    EXPECT_TRUE(fakes.mics.empty());
    EXPECT_EQ(manager->lastError.get(),
              "Microphone access is off. Turn it on in the desktop's privacy settings "
              "(Microphone).");
    EXPECT_TRUE(manager->session.get()) << "the session runs on meeting audio";
    manager->stop();
    executor.runUntilIdle();

    // Not asked yet: the mic exists at once and starts when access is granted.
    fakes.micStatus = MicAuthorization::notDetermined;
    fakes.detection->device = "alsa_input.usb-headset";
    clock.advance(60);
    manager->start(meet, confirmed(meet));
    ASSERT_EQ(fakes.mics.size(), 1u);
    EXPECT_EQ(fakes.mic()->starts, 0);
    fakes.answerMicRequests(true);
    EXPECT_EQ(fakes.mic()->starts, 0) << "the answer hops to the main thread";
    executor.runUntilIdle();
    EXPECT_EQ(fakes.mic()->starts, 1);
    EXPECT_EQ(fakes.mic()->askedDevice, "alsa_input.usb-headset");
    // Meeting audio is taken from the output the meeting plays to.
    fakes.detection->output = 7;
    EXPECT_EQ(fakes.capture()->meetingOutput(), 7u);
    manager->stop();
    executor.runUntilIdle();

    // Refused.
    fakes.micStatus = MicAuthorization::notDetermined;
    clock.advance(60);
    manager->start(zoom, confirmed(zoom));
    fakes.answerMicRequests(false);
    executor.runUntilIdle();
    EXPECT_EQ(manager->lastError.get(),
              "Microphone access is off, so your own voice won't be transcribed.");
    EXPECT_EQ(fakes.mic()->starts, 0);
    manager->stop();
    executor.runUntilIdle();

    // An answer for a session that is over does nothing.
    fakes.micStatus = MicAuthorization::notDetermined;
    clock.advance(60);
    manager->start(zoom, confirmed(zoom));
    manager->stop();
    executor.runUntilIdle();
    manager->lastError.set(std::nullopt);
    fakes.answerMicRequests(false);
    executor.runUntilIdle();
    EXPECT_FALSE(manager->lastError.get());

    // Allowed, but the device fails: the session goes on without it.
    fakes.micStatus = MicAuthorization::authorized;
    clock.advance(60);
    fakes.nextMicStartError = "Input device busy";
    manager->start(zoom, confirmed(zoom));
    EXPECT_EQ(manager->lastError.get(), "Microphone unavailable: Input device busy");
    // So is a stream refused once the sound server answers.
    fakes.mic()->fail("\"Monitor of Speakers\" only hears what the computer plays, not a "
                      "microphone. Connect a microphone or choose one as the input in the sound "
                      "settings.");
    EXPECT_EQ(manager->lastError.get(),
              "Microphone unavailable: \"Monitor of Speakers\" only hears what the computer "
              "plays, not a microphone. Connect a microphone or choose one as the input in the "
              "sound settings.");
    EXPECT_TRUE(manager->hasMic());
    EXPECT_TRUE(log.contains("Transcribing Zoom-812 (manual, mic on) → " +
                             manager->live().record.get()->filePath.string()));
}

// Microphone lines: the user's own voice, relabelled while the speakers play into the room;
// a batch that starts earlier than the last line is sorted in.
TEST_F(SessionServices, MicrophoneLinesAndOrder) {
    fakes.muteAllowed = false;
    startWithMic();
    defaults.set(Key::myName, "Ada");

    script->pushSegments({makeSegment(2.0, 2.9, "Meeting speaks later.")});
    script->pushSegments({makeSegment(0.1, 0.9, "I go first.")});
    fakes.capture()->deliver(3);
    fakes.mic()->deliver(3);
    executor.advance(3);
    ASSERT_EQ(manager->live().segments.get().size(), 2u);
    EXPECT_EQ(texts(manager->live().segments.get()),
              (std::vector<std::string>{"I go first.", "Meeting speaks later."}));
    EXPECT_EQ(manager->live().segments.get()[0].speaker, TranscriptSegment::you);
    EXPECT_EQ(manager->live().speakerName(TranscriptSegment::you), "Ada");
    EXPECT_EQ(fileText(), expectedText());

    fakes.builtInSpeakers = true;
    executor.advance(10);
    speakIntoMic("Heard through the room.");
    ASSERT_EQ(manager->live().segments.get().size(), 3u);
    EXPECT_EQ(manager->live().segments.get().back().text, "Heard through the room.");
    EXPECT_EQ(manager->live().segments.get().back().speaker, TranscriptSegment::room);
    EXPECT_EQ(manager->live().speakerName(TranscriptSegment::room),
              "Mic (could be anyone in the room)");
    EXPECT_EQ(fileText(), expectedText());
}

TEST_F(SessionServices, MicrophoneSilenceWarnsOncePerSession) {
    fakes.muteAllowed = false;
    startWithMic();
    auto mic = fakes.mic();
    executor.advance(15);
    EXPECT_FALSE(manager->micSilent.get()) << "20 s of live time first";
    EXPECT_EQ(mic->checks, 3);
    executor.advance(5);
    EXPECT_TRUE(manager->micSilent.get());
    ASSERT_EQ(fakes.notifications.size(), 1u);
    EXPECT_EQ(fakes.notifications[0].identifier, "mic-silent");
    EXPECT_EQ(fakes.notifications[0].title, "Your microphone gives no audio");

    mic->counters.received = 2;
    executor.advance(5);
    EXPECT_FALSE(manager->micSilent.get()) << "follows the counters";
    mic->counters.received = 0;
    executor.advance(5);
    EXPECT_TRUE(manager->micSilent.get());
    EXPECT_EQ(fakes.notifications.size(), 1u) << "one warning per session";

    manager->togglePause();
    int checks = mic->checks;
    executor.advance(20);
    EXPECT_EQ(mic->checks, checks) << "no checks while paused";
    manager->stop();
    EXPECT_FALSE(manager->micSilent.get());
    executor.advance(20);
    EXPECT_EQ(mic->checks, checks);
}

TEST_F(SessionServices, MuteFollowingWaitsForPermissionThenFollows) {
    fakes.muteAllowed = false;
    startWithMic();
    EXPECT_EQ(fakes.mutePermissionRequests, 1);
    EXPECT_TRUE(fakes.muteWatchers.empty());
    executor.advance(4);
    EXPECT_TRUE(fakes.muteWatchers.empty());

    fakes.muteAllowed = true;
    executor.advance(2);
    ASSERT_EQ(fakes.muteWatchers.size(), 1u);
    auto watcher = fakes.muteWatchers[0];
    EXPECT_TRUE(watcher->started);
    EXPECT_EQ(watcher->pid, 812);
    EXPECT_FALSE(watcher->page) << "a native app";
    EXPECT_EQ(fakes.mic()->holds, 1);

    watcher->onChange(true);
    EXPECT_FALSE(manager->meetingMuted.get()) << "reports hop to the main thread";
    executor.runUntilIdle();
    EXPECT_EQ(manager->meetingMuted.get(), true);
    EXPECT_EQ(fakes.mic()->mutedCalls.back(), true);
    watcher->onChange(false);
    executor.runUntilIdle();
    EXPECT_EQ(fakes.mic()->mutedCalls.back(), false);
    manager->toggleMicMute();
    EXPECT_TRUE(manager->micMutedByUser.get());
    EXPECT_EQ(fakes.mic()->mutedCalls.back(), true);
    manager->toggleMicMute();
    EXPECT_EQ(fakes.mic()->mutedCalls.back(), false);

    manager->stop();
    EXPECT_TRUE(watcher->stopped);
    watcher->onChange(true); // a late report of the stopped watcher
    executor.runUntilIdle();
    EXPECT_EQ(manager->meetingMuted.get(), false);
    EXPECT_TRUE(readWholeFile(diagnosticsFile())->find("meeting mute button watched") !=
                std::string::npos);

    // The permission prompt is shown once per run; a web meeting names its page.
    fakes.muteAllowed = false;
    clock.advance(60);
    manager->start(meet, confirmed(meet));
    EXPECT_EQ(fakes.mutePermissionRequests, 1);
    fakes.muteAllowed = true;
    executor.advance(2);
    EXPECT_EQ(fakes.muteWatchers.back()->page, Platform::meet);
}

// Neither a late permission answer nor a retry opens the microphone while the user paused.
TEST_F(SessionServices, LatePermissionDoesNotOpenThePausedMicrophone) {
    startWithMic(MicAuthorization::notDetermined);
    manager->togglePause();
    fakes.answerMicRequests(true);
    executor.runUntilIdle();
    EXPECT_EQ(fakes.mic()->starts, 0);
    manager->togglePause();
    EXPECT_EQ(fakes.mic()->resumes, 1) << "resuming opens it";
}

// The silence watch goes on when the notification service never answers.
TEST_F(SessionServices, SilenceWatchOutlivesAnUnansweredNotification) {
    fakes.muteAllowed = false;
    fakes.notificationsNeverAnswer = true;
    startWithMic();
    executor.advance(25);
    EXPECT_TRUE(manager->micSilent.get());
    int checks = fakes.mic()->checks;
    fakes.mic()->deliver(3);
    executor.advance(10);
    EXPECT_GT(fakes.mic()->checks, checks) << "the stalled-microphone check still runs";
    EXPECT_FALSE(manager->micSilent.get());
}

TEST_F(SessionServices, SkippingAndStandingConsent) {
    grantStanding();
    launch();
    fakes.detection->begin(zoom);
    executor.runUntilIdle();
    manager->skipCurrentMeeting();
    EXPECT_TRUE(log.contains("Transcription stopped: user stopped this meeting"));
    executor.runUntilIdle();
    manager->autoStart(zoom);
    EXPECT_FALSE(manager->session.get()) << "skipped";
    manager->transcribeAnyway(zoom);
    ASSERT_TRUE(manager->session.get());

    manager->disableAutomatic();
    EXPECT_FALSE(manager->automatic.get());
    EXPECT_FALSE(ConsentManager::standingConsentDate(stores.protectedFile));
    EXPECT_TRUE(manager->session.get()) << "a running session goes on";
    manager->stop();
    executor.runUntilIdle();
    manager->transcribeAnyway(zoom);
    EXPECT_FALSE(manager->session.get()) << "still needs standing consent";
    EXPECT_TRUE(manager->skipped().empty());

    manager->skipCurrentMeeting(); // nothing runs: nothing to skip
    fakes.micStatus = MicAuthorization::notDetermined;
    fakes.loginItemError = "the autostart folder is read-only";
    manager->stop(StopReason::userStopped);
    manager->enableAutomatic(true, true);
    EXPECT_TRUE(manager->automatic.get());
    EXPECT_TRUE(ConsentManager::standingConsentDate(stores.protectedFile));
    EXPECT_TRUE(SettingsManager::includeMic(stores));
    EXPECT_EQ(fakes.micRequests.size(), 1u);
    EXPECT_EQ(fakes.loginItemSets, 1);
    EXPECT_EQ(manager->lastError.get(), "Launch at login: the autostart folder is read-only");
    executor.runUntilIdle();

    fakes.loginItem = true;
    manager->enableAutomatic(false, true);
    EXPECT_EQ(fakes.loginItemSets, 1) << "already on";
    EXPECT_FALSE(SettingsManager::includeMic(stores));
}

TEST_F(SessionServices, LaunchWiresDetectionNotificationsAndRetention) {
    defaults.set(Key::deleteAfterDays, 7);
    auto old = makeFile(dir / "Documents/Tallyvox/2026/June/01-06-26/Zoom_Meeting_10-00.txt");
    auto mine = makeFile(dir / "Documents/Tallyvox/notes.txt");
    auto longAgo = fs::file_time_type::clock::now() - std::chrono::hours(24 * 3650);
    fs::last_write_time(old, longAgo);
    fs::last_write_time(mine, longAgo);
    fakes.notificationsGranted = false;
    launch();
    EXPECT_EQ(fakes.detection->starts, 1);
    EXPECT_EQ(fakes.sleepWakeObservers, 1);
    EXPECT_TRUE(log.contains("Notifications not allowed"));
    EXPECT_EQ(fakes.trashed, std::vector<fs::path>{old});
    EXPECT_TRUE(fs::exists(mine));

    auto later = makeFile(dir / "Documents/Tallyvox/2026/June/02-06-26/Teams_Meeting_11-00.txt");
    fs::last_write_time(later, longAgo);
    executor.advance(AppLifecycleManager::cleanupInterval - 1);
    EXPECT_EQ(fakes.trashed.size(), 1u);
    executor.advance(1);
    EXPECT_EQ(fakes.trashed.size(), 2u);

    manager.reset();
    EXPECT_EQ(fakes.sleepWakeObservers, 0);
    executor.advance(AppLifecycleManager::cleanupInterval); // the timer ends with its owner
}

TEST_F(SessionServices, NotificationAuthorisationErrorIsLogged) {
    fakes.notificationAuthError = "no notification server";
    launch();
    EXPECT_TRUE(log.contains("Notification auth failed: no notification server"));

    fakes.canNotify = false;
    auto quiet = AppLifecycleManager::make(main, clock, fakes.services(), stores);
    quiet->start(zoom, confirmed(zoom));
    fakes.detection->begin(zoom);
    EXPECT_TRUE(fakes.notifications.empty());
    quiet->stop();
    executor.runUntilIdle();
}

TEST(SpeakerNames, DisplayRules) {
    std::map<int, std::string> typed{{2, "  Priya \n"}, {TranscriptSegment::room, "Whole team"}};
    std::map<int, std::string> matched{{1, "Sam Lee"}, {2, "Not used"}};
    auto name = [&](std::optional<int> s, std::string me = "") {
        return SpeakerNames::display(s, typed, matched, me);
    };
    EXPECT_EQ(name(std::nullopt), "Unidentified");
    EXPECT_EQ(name(2), "Priya") << "a typed name wins over a match";
    EXPECT_EQ(name(TranscriptSegment::room), "Whole team");
    EXPECT_EQ(name(TranscriptSegment::you, " \t "), "You");
    EXPECT_EQ(name(TranscriptSegment::you, "\tAda Lovelace "), "Ada Lovelace");
    EXPECT_EQ(name(1), "Sam Lee");
    EXPECT_EQ(name(0), "Speaker A (Unidentified)");
    EXPECT_EQ(name(25), "Speaker Z (Unidentified)");
    EXPECT_EQ(name(26), "Speaker 27 (Unidentified)");
    EXPECT_EQ(name(500), "Speaker 1 (added)");
    typed.clear();
    EXPECT_EQ(name(TranscriptSegment::room), "Mic (could be anyone in the room)");

    EXPECT_EQ(SpeakerNames::known(
                  {line(0, 1, "a", 3), line(1, 2, "b"), line(2, 3, "c", 0), line(3, 4, "d", 3)}),
              (std::vector<int>{0, 3}));
}

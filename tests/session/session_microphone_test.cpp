// The microphone alone, one session after another, on a manual clock.

#include "fakes/FakeServices.h"
#include "fakes/ManualExecutor.h"
#include "session/SessionMicrophone.h"

#include <gtest/gtest.h>

using namespace tallyvox;
using namespace tallyvox::testing;

namespace {

class MicrophoneTest : public ::testing::Test {
protected:
    // A session as the manager opens it: the meeting's input, live time without pauses.
    SessionMicrophone::Session session(const DetectedMeeting& meeting, bool followMute = false) {
        startedAt = clock.elapsed();
        pausedByUser = false;
        return {.meeting = meeting,
                .use = true,
                .followMute = followMute,
                .meetingDevice = [] { return std::optional<std::string>("alsa_input.headset"); },
                .liveSeconds = [this](SystemTime) -> std::optional<double> {
                    if (pausedByUser)
                        return std::nullopt;
                    return clock.elapsed() - startedAt;
                }};
    }

    ManualClock clock;
    ManualExecutor main{clock};
    FakeServices fakes{clock};
    PlatformServices services = fakes.services();
    Observable<bool> userMuted{false};
    Observable<std::optional<bool>> meetingMuted;
    Observable<bool> silent{false};
    std::vector<std::string> problems;
    std::shared_ptr<SessionMicrophone> microphone =
        SessionMicrophone::make(main, clock, services,
                                {.userMuted = userMuted,
                                 .meetingMuted = meetingMuted,
                                 .silent = silent,
                                 .problem = [this](MicProblem problem, const std::string& detail) {
                                     problems.push_back(text(problem, detail));
                                 }});
    double startedAt = 0;
    bool pausedByUser = false;

    const DetectedMeeting zoom{Platform::zoom, 812, "Zoom", false};
    const DetectedMeeting meet{Platform::meet, 4021, "Google Chrome", true};
};

} // namespace

// Access decides whether a device is made and when it opens; answers and failures of a
// session that is over, or a device opened while paused, never reach the user.
TEST_F(MicrophoneTest, AccessDecidesWhetherAndWhenTheDeviceOpens) {
    auto off = session(zoom);
    off.use = false;
    EXPECT_FALSE(microphone->begin(off));
    fakes.micStatus = MicAuthorization::restricted;
    EXPECT_FALSE(microphone->begin(session(zoom)));
    EXPECT_TRUE(fakes.mics.empty());
    EXPECT_EQ(problems, std::vector<std::string>{text(MicProblem::accessOff)});
    microphone->end();

    // Not asked yet: the device exists at once and opens on the main thread after a yes,
    // unless the session is paused by then.
    fakes.micStatus = MicAuthorization::notDetermined;
    auto mic = microphone->begin(session(zoom));
    ASSERT_TRUE(mic);
    microphone->pause();
    fakes.answerMicRequests(true);
    main.runUntilIdle();
    EXPECT_EQ(fakes.mic()->starts, 0);
    microphone->resume();
    EXPECT_EQ(fakes.mic()->resumes, 1);
    microphone->end();

    fakes.micStatus = MicAuthorization::notDetermined;
    microphone->begin(session(zoom));
    fakes.answerMicRequests(true);
    EXPECT_EQ(fakes.mic()->starts, 0) << "the answer hops to the main thread";
    main.runUntilIdle();
    EXPECT_EQ(fakes.mic()->starts, 1);
    EXPECT_EQ(fakes.mic()->askedDevice, "alsa_input.headset");
    microphone->end();

    // Late news of an ended session: an answer, a failing stream.
    problems.clear();
    fakes.micStatus = MicAuthorization::notDetermined;
    microphone->begin(session(zoom));
    auto ended = fakes.mic();
    microphone->end();
    fakes.answerMicRequests(false);
    main.runUntilIdle();
    ended->fail("gone");
    EXPECT_TRUE(problems.empty());

    // A device that fails to open or to resume: the session goes on, the user is told.
    fakes.micStatus = MicAuthorization::authorized;
    fakes.nextMicStartError = "Input device busy";
    EXPECT_TRUE(microphone->begin(session(zoom)));
    microphone->pause();
    fakes.mic()->resumeError = "Device unplugged";
    microphone->resume();
    EXPECT_EQ(problems, (std::vector<std::string>{"Microphone unavailable: Input device busy",
                                                  "Microphone stopped: Device unplugged"}));
    EXPECT_EQ(fakes.mic()->pauses, 1);
    auto closed = microphone->end();
    EXPECT_EQ(closed.service, fakes.mic());
    EXPECT_EQ(fakes.mic()->stops, 0) << "the engine drains it a last time before it stops";
}

TEST_F(MicrophoneTest, SilenceIsNoticedAfterTwentyLiveSecondsAndWarnedOncePerSession) {
    microphone->begin(session(zoom));
    auto mic = fakes.mic();
    main.advance(15);
    EXPECT_FALSE(silent.get());
    EXPECT_EQ(mic->checks, 3);
    main.advance(5);
    EXPECT_TRUE(silent.get());
    mic->counters.received = 2;
    main.advance(5);
    EXPECT_FALSE(silent.get()) << "follows the counters";
    mic->counters.received = 0;
    main.advance(5);
    EXPECT_TRUE(silent.get());
    EXPECT_EQ(fakes.notifications.size(), 1u);

    pausedByUser = true;
    int checks = mic->checks;
    main.advance(20);
    EXPECT_EQ(mic->checks, checks) << "a paused microphone is not checked";
    microphone->end();
    EXPECT_FALSE(silent.get());
    pausedByUser = false;
    main.advance(20);
    EXPECT_EQ(mic->checks, checks) << "the watch ends with the session";

    // The next session warns again, even when the notification service never answered.
    fakes.notificationsNeverAnswer = true;
    microphone->begin(session(meet));
    main.advance(20);
    EXPECT_TRUE(silent.get());
    ASSERT_EQ(fakes.notifications.size(), 2u);
    EXPECT_EQ(fakes.notifications[1].identifier, "mic-silent");
    main.advance(10);
    EXPECT_EQ(fakes.mic()->checks, 6) << "the watch goes on";
}

TEST_F(MicrophoneTest, MuteFollowingWaitsForPermissionAndEndsWithItsSession) {
    fakes.muteAllowed = false;
    microphone->begin(session(zoom, true));
    EXPECT_EQ(fakes.mutePermissionRequests, 1);
    main.advance(4);
    EXPECT_TRUE(fakes.muteWatchers.empty());
    fakes.muteAllowed = true;
    main.advance(2);
    ASSERT_EQ(fakes.muteWatchers.size(), 1u);
    auto watcher = fakes.muteWatchers[0];
    EXPECT_EQ(watcher->pid, 812);
    EXPECT_FALSE(watcher->page);
    EXPECT_EQ(fakes.mic()->holds, 1) << "audio waits until the mute state is known";

    // Either mute silences the microphone; both must be off for it to hear again.
    watcher->onChange(true);
    main.runUntilIdle();
    EXPECT_EQ(meetingMuted.get(), true);
    microphone->toggleUserMute();
    watcher->onChange(false);
    main.runUntilIdle();
    EXPECT_EQ(fakes.mic()->mutedCalls, (std::vector<bool>{true, true, true}));
    microphone->toggleUserMute();
    EXPECT_EQ(fakes.mic()->mutedCalls.back(), false);

    auto closed = microphone->end();
    EXPECT_TRUE(closed.muteWatched);
    EXPECT_TRUE(watcher->stopped);
    watcher->onChange(true);
    main.runUntilIdle();
    EXPECT_EQ(meetingMuted.get(), false) << "a stopped watcher's last report is ignored";

    // Mutes start over; the retries of a session that ended make no watcher for the next
    // one, which does not follow mute.
    fakes.muteAllowed = false;
    microphone->toggleUserMute();
    microphone->begin(session(meet, true));
    EXPECT_FALSE(userMuted.get());
    EXPECT_EQ(meetingMuted.get(), std::nullopt);
    EXPECT_FALSE(microphone->end().muteWatched);
    microphone->begin(session(zoom));
    fakes.muteAllowed = true;
    main.advance(10);
    EXPECT_EQ(fakes.muteWatchers.size(), 1u);
    microphone->end();

    // The prompt is shown once per run; a web meeting names its page.
    fakes.muteAllowed = false;
    microphone->begin(session(meet, true));
    fakes.muteAllowed = true;
    main.advance(2);
    EXPECT_EQ(fakes.mutePermissionRequests, 1);
    ASSERT_EQ(fakes.muteWatchers.size(), 2u);
    EXPECT_EQ(fakes.muteWatchers[1]->page, Platform::meet);
}

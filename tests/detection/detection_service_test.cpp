#include "detection/NativeMeetingDetection.h"

#include "base/Log.h"
#include "detection/DetectionFakes.h"
#include "fakes/ManualExecutor.h"
#include "fakes/TempDir.h"
#include "session/DetectionSettings.h"
#include "settings/AppInfo.h"

#include <gtest/gtest.h>

using namespace tallyvox;
using namespace tallyvox::testing;
namespace Key = SettingsManager::Key;

namespace {

const std::string zoomExe = "/opt/zoom/zoom";

struct Detection : ::testing::Test {
    TempDir dir;
    UserDefaults defaults{dir / "preferences.plist"};
    SettingsStores stores{defaults, dir / ".settings.plist"};
    ManualClock clock;
    ManualExecutor main{clock};
    std::shared_ptr<FakeProcessList> list = std::make_shared<FakeProcessList>();
    std::shared_ptr<FakeProcessInfo> info = std::make_shared<FakeProcessInfo>();
    std::unique_ptr<NativeMeetingDetection> detection;
    std::vector<std::string> events;
    Log::Capture log;

    void SetUp() override {
        SettingsManager::registerDefaults(stores, "Ada");
        info->addSystemFile(zoomExe);
        info->packages[zoomExe] = {"zoom"};
        info->addSystemFile("/opt/teams-for-linux/teams-for-linux");
        info->packages["/opt/teams-for-linux/teams-for-linux"] = {"teams-for-linux"};
        info->run(812, zoomExe);
        make();
    }
    void make(TrustList trust = AppGenuineness::vendors()) {
        detection = std::make_unique<NativeMeetingDetection>(
            main, clock, list, info, trust, SessionSettings::detectionChoices(stores), &main);
        detection->onMeetingStarted = [this](const DetectedMeeting& m) {
            events.push_back("started " + m.id());
        };
        detection->onMeetingEnded = [this](const DetectedMeeting& m) {
            events.push_back("ended " + m.id());
        };
    }
    void zoomInCall() { list->set({recording(812, "zoom"), playing(812, "zoom")}); }
    std::vector<DetectedMeeting> meetings() const { return detection->meetings.get(); }
    int count(const std::string& text) const {
        auto texts = log.texts();
        return static_cast<int>(std::count(texts.begin(), texts.end(), text));
    }
};

} // namespace

TEST_F(Detection, AppMustRecordAndPlayThenStartsAfterTheDelay) {
    detection->start();
    list->set({recording(812, "zoom")});
    main.advance(3);
    EXPECT_TRUE(meetings().empty()) << "recording alone is no call";

    list->set({recording(812, "zoom"), playing(812, "zoom")});
    main.advance(1.4);
    EXPECT_TRUE(meetings().empty());
    main.advance(0.1);
    ASSERT_EQ(meetings().size(), 1u);
    EXPECT_EQ(meetings()[0], (DetectedMeeting{Platform::zoom, 812, "Zoom", false}));
    EXPECT_EQ(events, std::vector<std::string>{"started Zoom-812"});
    EXPECT_EQ(count("Meeting started: Zoom in Zoom pid 812"), 1);
    EXPECT_TRUE(log.contains("Meeting app sound from: zoom"));
    EXPECT_TRUE(log.contains("Mic in use by: zoom"));
}

TEST_F(Detection, NamesAndCorkedStreamsDoNotMakeACall) {
    detection->start();
    auto voice = recording(812, "");
    voice.appName = "ZOOM VoiceEngine"; // recognised by executable only
    auto paused = playing(812, "zoom");
    paused.corked = true;
    list->set({voice, playing(812, "zoom")});
    main.advance(3);
    EXPECT_TRUE(meetings().empty());
    list->set({recording(812, "zoom"), paused});
    main.advance(5);
    EXPECT_TRUE(meetings().empty());
    EXPECT_TRUE(detection->debouncer().entries.empty());
}

TEST_F(Detection, PlayerMustRunTheSameExecutable) {
    // Another program calling itself zoom plays; the real Zoom only records.
    info->addUserFile("/home/ada/bin/zoom");
    info->run(900, "/home/ada/bin/zoom");
    detection->start();
    list->set({recording(812, "zoom"), playing(900, "zoom")});
    main.advance(3);
    EXPECT_TRUE(meetings().empty());

    // A second process of the real install plays: that is the app in a call.
    info->run(813, zoomExe);
    list->set({recording(812, "zoom"), playing(813, "zoom")});
    main.advance(2);
    ASSERT_EQ(meetings().size(), 1u);
    EXPECT_EQ(meetings()[0].pid, 812);
}

TEST_F(Detection, ReportsTheMainProcessOnceForSeveralRecorders) {
    info->run(900, zoomExe, 812);
    info->run(901, zoomExe, 900);
    detection->start();
    list->set({recording(900, "zoom"), recording(901, "zoom"), playing(901, "zoom")});
    main.advance(2);
    ASSERT_EQ(meetings().size(), 1u);
    EXPECT_EQ(meetings()[0].id(), "Zoom-812");
}

TEST_F(Detection, TeamsClientsAndTheirIDs) {
    info->run(4711, "/opt/teams-for-linux/teams-for-linux");
    detection->start();
    list->set({recording(4711, "teams-for-linux"), playing(4711, "teams-for-linux")});
    main.advance(2);
    ASSERT_EQ(meetings().size(), 1u);
    EXPECT_EQ(meetings()[0].id(), "Teams-4711");
    EXPECT_EQ(meetings()[0].appName, "Microsoft Teams");
}

TEST_F(Detection, BriefAbsenceIsNoEndButEightSecondsIs) {
    detection->start();
    zoomInCall();
    main.advance(2);
    list->set({});
    main.advance(7);
    zoomInCall();
    main.advance(1);
    EXPECT_EQ(events, std::vector<std::string>{"started Zoom-812"});

    list->set({});
    main.advance(7.9);
    EXPECT_EQ(meetings().size(), 1u);
    main.advance(0.1);
    EXPECT_TRUE(meetings().empty());
    EXPECT_EQ(events.back(), "ended Zoom-812");
    EXPECT_TRUE(log.contains("Meeting ended: Zoom in Zoom pid 812"));
}

TEST_F(Detection, SightingShorterThanTheDelayNeverStarts) {
    detection->start();
    zoomInCall();
    main.advance(1.0);
    list->set({});
    main.advance(10);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(detection->debouncer().entries.empty());
}

TEST_F(Detection, KilledAppEndsAtOnce) {
    detection->start();
    zoomInCall();
    main.advance(2);
    info->processes[812].alive = false;
    list->set({}); // the server drops its streams
    main.runUntilIdle();
    EXPECT_TRUE(meetings().empty());
    EXPECT_EQ(events.back(), "ended Zoom-812");
}

TEST_F(Detection, SettingsChangesTakeEffectAtOnce) {
    defaults.set(Key::detectZoom, false);
    detection->start();
    zoomInCall();
    main.advance(3);
    EXPECT_TRUE(detection->debouncer().entries.empty());

    defaults.set(Key::detectZoom, true);
    main.runUntilIdle(); // no poll needed
    EXPECT_EQ(detection->debouncer().entries.size(), 1u);
    main.advance(1.5);
    EXPECT_EQ(meetings().size(), 1u);

    // Automatic detection off: the meeting ends after the end delay.
    defaults.set(Key::autoDetect, false);
    main.advance(7.5);
    EXPECT_EQ(meetings().size(), 1u);
    main.advance(0.5);
    EXPECT_TRUE(meetings().empty());
}

TEST_F(Detection, ImpostorIsIgnoredAndLoggedOncePerProcess) {
    info->addUserFile("/home/ada/zoom");
    info->run(666, "/home/ada/zoom");
    info->run(667, "/home/ada/zoom");
    detection->start();
    list->set({recording(666, "zoom"), playing(666, "zoom")});
    main.advance(5);
    list->set({recording(666, "zoom"), playing(666, "zoom"), recording(667, "zoom")});
    main.advance(5);
    EXPECT_TRUE(meetings().empty());
    EXPECT_EQ(count("Ignored zoom (pid 666): not signed by the meeting app's maker"), 1);
    EXPECT_EQ(count("Ignored zoom (pid 667): not signed by the meeting app's maker"), 1);
}

TEST_F(Detection, GenuinenessIsCheckedOncePerProcessUntilItsPidIsReused) {
    detection->start();
    zoomInCall();
    main.advance(5);
    EXPECT_EQ(info->packageQueries, 1);

    // Same pid, a new process (another start time) running a copy: checked again, refused.
    info->addUserFile("/tmp/zoom");
    info->processes[812].startTime = 999;
    info->processes[812].executable = "/tmp/zoom";
    main.advance(9);
    EXPECT_TRUE(meetings().empty());
    EXPECT_EQ(count("Ignored zoom (pid 812): not signed by the meeting app's maker"), 1);
}

TEST_F(Detection, PackageDatabaseIsAskedOffTheMainThreadAndFailuresAreAskedAgain) {
    ManualExecutor worker{clock};
    detection = std::make_unique<NativeMeetingDetection>(
        main, clock, list, info, AppGenuineness::vendors(),
        SessionSettings::detectionChoices(stores), &worker);
    info->packageFailures = 1; // busy during an upgrade, say
    detection->start();
    zoomInCall();
    main.advance(3);
    EXPECT_EQ(info->packageQueries, 0) << "the main thread never asks";
    worker.runUntilIdle();
    main.advance(25);
    EXPECT_EQ(info->packageQueries, 1);
    worker.runUntilIdle();
    EXPECT_EQ(info->packageQueries, 1) << "a failure is asked again only after a while";
    EXPECT_EQ(count("Ignored zoom (pid 812): not signed by the meeting app's maker"), 0)
        << "no answer is no verdict";

    main.advance(5);
    worker.runUntilIdle();
    EXPECT_EQ(info->packageQueries, 2);
    main.advance(1.5);
    EXPECT_EQ(meetings().size(), 1u);
}

TEST_F(Detection, ExplicitTrustList) {
    info->addUserFile("/tmp/t/zoom");
    info->run(5, "/tmp/t/zoom");
    make({{.platform = Platform::zoom,
           .packages = {},
           .snaps = {},
           .flatpaks = {},
           .exactPaths = {"/tmp/t/zoom"}}});
    detection->start();
    list->set({recording(5, "zoom"), playing(5, "zoom")});
    main.advance(2);
    EXPECT_EQ(meetings().size(), 1u);
}

TEST_F(Detection, LogsOnlyChanges) {
    detection->start();
    auto recorder = recording(30, "arecord");
    list->set({recorder, recording(812, "zoom"), recording(812, "zoom"), playing(812, "zoom")});
    main.advance(3);
    list->set({});
    main.advance(3);
    EXPECT_EQ(count("Mic in use by: arecord, zoom"), 1);
    EXPECT_EQ(count("Meeting app sound from: zoom"), 1);
    EXPECT_EQ(count("Mic in use by: nobody"), 1);
    EXPECT_EQ(count("Meeting app sound from: nobody"), 1);
}

TEST_F(Detection, IdleCostsOnlyThePoll) {
    detection->start();
    EXPECT_TRUE(log.contains(AppInfo::summary() + ": meeting detection started"));
    list->set({recording(30, "arecord"), playing(31, "firefox")});
    main.advance(10);
    EXPECT_EQ(info->executableQueries, 0) << "no /proc work without a meeting app recording";
    EXPECT_FALSE(detection->recheckPending());
    EXPECT_EQ(main.pendingCount(), 1u) << "the poll timer only";
    int before = list->listings;
    main.advance(1);
    EXPECT_EQ(list->listings, before + 1);
}

TEST_F(Detection, BurstOfChangesMakesOnePass) {
    detection->start();
    int before = list->listings;
    list->changed();
    list->changed();
    list->changed();
    main.runUntilIdle();
    EXPECT_EQ(list->listings, before + 1);
}

TEST_F(Detection, DestroyedServiceIgnoresItsQueuedWork) {
    detection->start();
    zoomInCall(); // queues an evaluation and, after it, a recheck
    main.runUntilIdle();
    list->changed();
    detection.reset();
    EXPECT_EQ(list->observerCount(), 0u);
    main.advance(5); // must not touch the gone service
}

TEST_F(Detection, InputDeviceIsThePhysicalSourceTheAppRecordsFrom) {
    AudioProcessList::Source monitor{1, "alsa_output.pci.monitor", "alsa", false, true};
    AudioProcessList::Source remap{2, "remapped_mic", "", false, false};
    AudioProcessList::Source headset{3, "bluez_input.00_11", "bluez5", false, false};
    AudioProcessList::Source usb{4, "alsa_input.usb-mic", "alsa", true, false};
    info->run(900, zoomExe); // another Zoom process, not part of the meeting's app
    list->set({recording(30, "arecord", usb), recording(900, "zoom", usb),
               recording(812, "zoom", monitor), recording(812, "zoom", remap),
               recording(812, "zoom", headset), playing(812, "zoom")});
    DetectedMeeting meeting{Platform::zoom, 812, "Zoom", false};
    EXPECT_EQ(detection->inputDevice(meeting), "bluez_input.00_11");

    list->set({recording(30, "arecord", usb), recording(812, "zoom", monitor)});
    EXPECT_FALSE(detection->inputDevice(meeting));
    meeting.isWeb = true;
    EXPECT_FALSE(detection->inputDevice(meeting));
}

TEST_F(Detection, OutputIsTheMeetingsOwnPlaybackElseThatOfItsAppsOtherProcesses) {
    const auto to = [](AudioProcessList::Stream stream, std::uint32_t sink, bool corked = false) {
        stream.sink = sink;
        stream.corked = corked;
        return stream;
    };
    info->run(813, zoomExe);             // the same app's audio helper, not a child
    info->run(814, zoomExe).uid = 1001;  // the same app run by another user
    info->addUserFile("/home/ada/zoom"); // another executable under the same name
    info->run(815, "/home/ada/zoom");
    DetectedMeeting meeting{Platform::zoom, 812, "Zoom", false};

    list->set(
        {recording(812, "zoom"), to(playing(812, "zoom"), 3, true), to(playing(813, "zoom"), 5)});
    EXPECT_EQ(detection->outputDevice(meeting), 3u) << "its own stream, even paused, comes first";

    list->set({recording(812, "zoom"), to(playing(814, "zoom"), 4), to(playing(815, "zoom"), 6),
               to(playing(813, "zoom"), 7, true), to(playing(30, "paplay"), 8)});
    EXPECT_EQ(detection->outputDevice(meeting), 7u) << "only the same file, run by the same user";
    list->set(
        {recording(812, "zoom"), to(playing(813, "zoom"), 7, true), to(playing(813, "zoom"), 9)});
    EXPECT_EQ(detection->outputDevice(meeting), 9u) << "a playing stream before a paused one";

    list->set({recording(812, "zoom"), to(playing(814, "zoom"), 4)});
    EXPECT_FALSE(detection->outputDevice(meeting)) << "the default output then";
    list->set({recording(812, "zoom"), to(playing(813, "zoom"), 5)});
    meeting.isWeb = true;
    EXPECT_FALSE(detection->outputDevice(meeting)) << "a browser plays from its own tree";
}

TEST(AudioProcessList, PhysicalSources) {
    using S = AudioProcessList::Source;
    EXPECT_TRUE(AudioProcessList::isPhysical(S{0, "alsa_input.pci", "alsa", false, false}));
    EXPECT_TRUE(AudioProcessList::isPhysical(S{0, "bluez_source.x", "bluez", false, false}));
    EXPECT_TRUE(AudioProcessList::isPhysical(S{0, "some_card", "", true, false}));
    EXPECT_FALSE(
        AudioProcessList::isPhysical(S{0, "alsa_output.pci.monitor", "alsa", true, false}));
    EXPECT_FALSE(AudioProcessList::isPhysical(S{0, "odd", "alsa", true, true}));
    EXPECT_FALSE(AudioProcessList::isPhysical(S{0, "tallyvox_mic", "", false, false}));
}

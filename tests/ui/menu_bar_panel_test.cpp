// The panel while idle: its status rules, setup, and consent.
#include "PanelHarness.h"

namespace tallyvox::testing {
namespace {

// MARK: The status line, without widgets

TEST(PanelStatus, FirstRuleThatAppliesWins) {
    const std::string behind = "Transcription is falling behind";
    const std::string noAudio = "No audio received yet. If people are talking, check that the "
                                "meeting plays through this computer's sound output.";
    CaptureStats quiet;
    EXPECT_EQ(ui::panel::status(quiet, false, 15, false),
              "Listening to meeting audio · kept in memory only")
        << "15 s without sound is not yet a problem";
    EXPECT_EQ(ui::panel::status(quiet, false, 16, false), noAudio);
    EXPECT_EQ(ui::panel::status(quiet, false, 15, true),
              "Listening to meeting audio and your mic · kept in memory only");
    EXPECT_EQ(ui::panel::status(quiet, true, 600, true), "Audio capture is off while paused.")
        << "paused comes first";

    CaptureStats heard;
    heard.lastSoundAt = SystemTime{};
    EXPECT_EQ(ui::panel::status(heard, false, 3600, false),
              "Listening to meeting audio · kept in memory only");
    heard.bufferedSeconds = 60;
    EXPECT_EQ(ui::panel::status(heard, false, 3600, false),
              "Listening to meeting audio · kept in memory only")
        << "a minute waiting is still keeping up";
    heard.bufferedSeconds = 61;
    EXPECT_EQ(ui::panel::status(heard, false, 3600, true),
              behind + ". Choose a smaller model in Settings.");
    quiet.bufferedSeconds = 61;
    EXPECT_EQ(ui::panel::status(quiet, false, 100, false),
              behind + ". Choose a smaller model in Settings.")
        << "falling behind outranks no sound";
    heard.droppedSeconds = 0.5;
    EXPECT_EQ(ui::panel::status(heard, false, 3600, true),
              behind + " and skipped some audio. Choose a smaller model in Settings.");
    EXPECT_EQ(ui::panel::status(heard, true, 3600, true), "Audio capture is off while paused.");

    // The engine's own measure: its waiting audio kept growing past a minute.
    CaptureStats keeping;
    keeping.lastSoundAt = SystemTime{};
    EXPECT_EQ(ui::panel::status(keeping, false, 600, false, FallingBehind{75, WhisperModel::base}),
              behind + ". Choose Base in Settings.");
    EXPECT_EQ(ui::panel::status(keeping, false, 600, false, FallingBehind{75, std::nullopt}),
              behind + ". Choose a smaller model in Settings.");
    EXPECT_EQ(ui::panel::status(heard, false, 600, false, FallingBehind{75, WhisperModel::base}),
              behind + " and skipped some audio. Choose a smaller model in Settings.")
        << "audio already lost says so first";
}

TEST(PanelStatus, ElapsedIsHoursMinutesSeconds) {
    EXPECT_EQ(ui::panel::formatElapsed(0), "0:00:00");
    EXPECT_EQ(ui::panel::formatElapsed(16.9), "0:00:16");
    EXPECT_EQ(ui::panel::formatElapsed(3723), "1:02:03");
    EXPECT_EQ(ui::panel::formatElapsed(100 * 3600 + 59), "100:00:59");
    EXPECT_EQ(ui::panel::formatElapsed(-5), "0:00:00") << "a clock set back";
}

TEST(PanelStatus, AnUnseenMuteButtonSaysWhatTheBrowserNeeds) {
    const std::string unseen = "Can't see the Meet mute button, so muting there won't stop your "
                               "mic here.";
    EXPECT_EQ(ui::panel::muteButtonUnseenText({Platform::meet, 40, "Firefox", true}), unseen);
    EXPECT_EQ(ui::panel::muteButtonUnseenText({Platform::meet, 41, "Google Chrome", true}),
              unseen +
                  " Google Chrome shows page controls only with renderer accessibility on "
                  "(chrome://accessibility, or start it with --force-renderer-accessibility).");
    EXPECT_EQ(ui::panel::muteButtonUnseenText({Platform::zoom, 42, "Zoom", false}),
              "Can't see the Zoom mute button, so muting there won't stop your mic here.");
}

TEST(PanelPlace, TheEdgeNextToTheTrayStaysAndThePanelStaysOnScreen) {
    const QRect free(0, 0, 1280, 800);
    const QRect bottomTray(1000, 770, 24, 24);
    for (int height : {273, 342}) {
        const QRect place = ui::panelPlace(bottomTray, {}, {300, height}, free);
        EXPECT_EQ(place, QRect(861, 766 - height + 1, 300, height)) << height;
    }
    EXPECT_EQ(ui::panelPlace(bottomTray, {}, {300, 2000}, free), QRect(861, 0, 300, 767))
        << "taller than the room above the tray: cut to it";

    const QRect topBar(0, 32, 1280, 768);
    EXPECT_EQ(ui::panelPlace({1268, 4, 24, 24}, {}, {300, 400}, topBar), QRect(980, 32, 300, 400))
        << "below a top bar, pushed in from the right edge";
    EXPECT_EQ(ui::panelPlace({1268, 4, 24, 24}, {}, {300, 900}, topBar), QRect(980, 32, 300, 768));
    EXPECT_EQ(ui::panelPlace({}, {10, 700}, {300, 200}, free), QRect(0, 501, 300, 200))
        << "no icon: beside the pointer, towards the middle of the screen";
}

TEST_F(MenuBarPanelTest, IdleOffersSetupWhoseSwitchesStartAfreshEachTime) {
    launchPanel();
    EXPECT_EQ(text("noMeetingText"), "No active meeting");
    ASSERT_TRUE(shown("setupView"));
    EXPECT_FALSE(shown("consentView"));
    EXPECT_FALSE(shown("transcribingView"));
    EXPECT_FALSE(shown("modelStatus")) << "only beside a detected meeting";
    EXPECT_FALSE(shown("showLiveTranscriptButton")) << "no session and no lines";
    EXPECT_EQ(text("appInfo"), AppInfo::summary());
    EXPECT_EQ(find<QCheckBox>("standingConsentCheck")->accessibleName().toStdString(),
              ConsentManager::standingStatement);
    EXPECT_FALSE(find<QCheckBox>("standingConsentCheck")->isChecked());
    EXPECT_TRUE(find<QCheckBox>("includeMicCheck")->isChecked());
    EXPECT_TRUE(find<QCheckBox>("launchAtLoginCheck")->isChecked());
    EXPECT_FALSE(enabled("turnOnButton"));
    expectKeyboardAndScreenReaderReach();

    // Switches set and left, then the setup goes away and comes back: they start afresh.
    find<QCheckBox>("standingConsentCheck")->setChecked(true);
    find<QCheckBox>("includeMicCheck")->setChecked(false);
    EXPECT_TRUE(enabled("turnOnButton"));
    fakes.detection->list(zoom);
    settle();
    EXPECT_FALSE(shown("setupView"));
    fakes.detection->end(zoom);
    settle();
    ASSERT_TRUE(shown("setupView"));
    EXPECT_FALSE(find<QCheckBox>("standingConsentCheck")->isChecked());
    EXPECT_TRUE(find<QCheckBox>("includeMicCheck")->isChecked());
    EXPECT_FALSE(enabled("turnOnButton"));

    auto* name = find<QLineEdit>("myNameField");
    name->clear();
    QTest::keyClicks(name, "Ana Lima");
    EXPECT_EQ(SettingsManager::myName(stores), "Ana Lima");
    QTest::mouseClick(find<QCheckBox>("standingConsentCheck"), Qt::LeftButton);
    QTest::mouseClick(find<QCheckBox>("includeMicCheck"), Qt::LeftButton);
    click("turnOnButton");
    settle();
    EXPECT_TRUE(manager->automatic.get());
    EXPECT_TRUE(ConsentManager::standingConsentDate(stores.protectedFile));
    EXPECT_FALSE(SettingsManager::includeMic(stores)) << "the switch as left";
    EXPECT_EQ(fakes.loginItemSets, 1);
    EXPECT_FALSE(shown("setupView"));
    EXPECT_EQ(text("noMeetingText"), "No active meeting · automatic transcription on");

    // Turning on fetches the models; without a network the panel says so and offers them again.
    ASSERT_FALSE(fetches.empty());
    EXPECT_TRUE(shown("modelStatus")) << "the download's progress";
    fetches.front().done("network is unreachable");
    fetches.clear();
    settle();
    EXPECT_TRUE(shown("modelStatus"));
    EXPECT_EQ(notices("downloadErrorNotice"),
              std::vector<std::string>{"Model download failed: network is unreachable"});
    click("downloadModelsButton");
    settle();
    ASSERT_FALSE(fetches.empty()) << "tried again";
    completeDownloads();
    EXPECT_FALSE(shown("modelStatus")) << "nothing left to say";

    click("settingsButton");
    EXPECT_NE(app->settingsWindow(), nullptr);
    EXPECT_EQ(find<QAbstractButton>("settingsButton")->shortcut(),
              QKeySequence(Qt::CTRL | Qt::Key_Comma));
    EXPECT_EQ(find<QAbstractButton>("quitButton")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    click("quitButton");
    EXPECT_EQ(terminated, 1) << "idle: at once";
}

// Standing consent in a file other users could have written is not honoured, and the panel
// says why it asks again.
TEST_F(MenuBarPanelTest, IgnoredStandingConsentIsExplainedBesideTheConsentBox) {
    grantStanding();
    ASSERT_EQ(::chmod(stores.protectedFile.c_str(), 0666), 0);
    launchPanel();
    fakes.detection->list(zoom);
    settle();
    ASSERT_TRUE(shown("consentView")) << "asked, not started automatically";
    EXPECT_FALSE(manager->session.get());
    ASSERT_TRUE(shown("standingConsentIgnored"));
    EXPECT_EQ(text("standingConsentIgnored"),
              "Automatic transcription is off: .settings.plist can be changed by other users. "
              "Turn it on again to replace the file.");
}

TEST_F(MenuBarPanelTest, ConsentStartsOnlyWithTheBoxTickedAndTheModelHere) {
    defaults.set(Key::model, "base"); // not on disk
    const WhisperModel base(WhisperModel::base);
    launchPanel();
    fakes.detection->list(zoom);
    settle();
    ASSERT_TRUE(shown("consentView"));
    EXPECT_FALSE(shown("setupView"));
    EXPECT_EQ(text("consentMeetingRowTitle"), "Zoom meeting detected");
    EXPECT_EQ(text("consentMeetingRowDetail"), "Waiting for transcription authorization");
    EXPECT_EQ(find<QCheckBox>("consentCheck")->accessibleName().toStdString(),
              ConsentManager::statement);
    EXPECT_TRUE(shown("consentTip"));
    defaults.set(Key::consentReminder, false);
    panel()->refresh();
    EXPECT_FALSE(shown("consentTip")) << "the setting is read afresh";

    QTest::mouseClick(find<QCheckBox>("consentCheck"), Qt::LeftButton);
    EXPECT_FALSE(enabled("startTranscriptionButton")) << "ticked, but the model is missing";
    ASSERT_TRUE(shown("downloadModelsButton"));
    EXPECT_EQ(text("downloadModelsButton"),
              "Download Models (" + *WhisperManager::missingLabel(base, false) + ")");
    EXPECT_EQ(text("downloadCaption"),
              "One-time download of Whisper " + std::string(base.title()) +
                  " from Hugging Face. Transcription then runs on this computer.");
    expectKeyboardAndScreenReaderReach();

    click("downloadModelsButton");
    settle();
    ASSERT_FALSE(fetches.empty());
    fetches[0].progress(0.5);
    settle();
    EXPECT_TRUE(shown("downloadProgress"));
    EXPECT_EQ(text("downloadProgressLabel"), "Downloading models…");
    EXPECT_NEAR(find<QProgressBar>("downloadProgress")->value(),
                manager->whisper().progress.get() * 1000, 1);
    EXPECT_GT(find<QProgressBar>("downloadProgress")->value(), 0);
    EXPECT_FALSE(shown("downloadModelsButton"));
    EXPECT_FALSE(enabled("startTranscriptionButton"));

    completeDownloads();
    EXPECT_FALSE(shown("modelStatus")) << "nothing left to fetch";
    EXPECT_TRUE(find<QCheckBox>("consentCheck")->isChecked()) << "same meeting: kept";
    EXPECT_TRUE(enabled("startTranscriptionButton")) << "without reopening the panel";

    // A second meeting is listed under the first; when the first ends, the box is unticked.
    fakes.detection->list(meet);
    settle();
    EXPECT_EQ(texts("alsoDetectedLine"),
              std::vector<std::string>{"Also detected: Meet in Google Chrome"});
    fakes.detection->end(zoom);
    settle();
    EXPECT_EQ(text("consentMeetingRowTitle"), "Meet meeting detected");
    EXPECT_FALSE(find<QCheckBox>("consentCheck")->isChecked()) << "another meeting's consent";
    EXPECT_FALSE(enabled("startTranscriptionButton"));
    EXPECT_TRUE(texts("alsoDetectedLine").empty());

    QTest::mouseClick(find<QCheckBox>("consentCheck"), Qt::LeftButton);
    click("startTranscriptionButton");
    settle();
    ASSERT_TRUE(manager->session.get());
    EXPECT_EQ(manager->session.get()->meeting, meet);
    EXPECT_EQ(manager->session.get()->consent.statement, ConsentManager::statement);
    EXPECT_FALSE(manager->session.get()->consent.automatic);
    EXPECT_TRUE(shown("transcribingView"));
    EXPECT_FALSE(shown("consentView"));
    EXPECT_FALSE(shown("modelStatus"));
    EXPECT_TRUE(shown("showLiveTranscriptButton"));
}

TEST_F(MenuBarPanelTest, StandingConsentOffersTheSkippedMeetingAgain) {
    grantStanding();
    launchPanel();
    fakes.detection->begin(zoom);
    settle();
    ASSERT_TRUE(manager->session.get());
    EXPECT_EQ(text("sessionMeeting"), "Zoom · Zoom · automatic");
    EXPECT_EQ(text("stopButton"), "Stop for This Meeting");
    speak("Before the skip.");

    click("stopButton");
    redraw(); // the finish is still running
    ASSERT_TRUE(manager->finishing.get());
    EXPECT_TRUE(log.contains("Transcription stopped: user stopped this meeting"));
    EXPECT_FALSE(shown("transcribingView"));
    EXPECT_TRUE(shown("finishingRow"));
    EXPECT_EQ(text("finishingTitle"), "Meeting ended · finishing transcript…");
    EXPECT_EQ(text("finishingCaption"), "Audio capture and microphone are off.");
    EXPECT_FALSE(shown("completedView"));
    ASSERT_TRUE(shown("automaticMeeting"));
    EXPECT_FALSE(shown("consentView"));
    EXPECT_EQ(text("automaticMeetingRowDetail"), "Starts after the last transcript is saved");
    EXPECT_FALSE(enabled("transcribeThisMeetingButton"));

    settle();
    EXPECT_FALSE(shown("finishingRow"));
    EXPECT_TRUE(shown("completedView"));
    EXPECT_FALSE(manager->session.get()) << "a skipped meeting stays stopped";
    EXPECT_EQ(text("automaticMeetingRowDetail"), "Not transcribing");
    expectKeyboardAndScreenReaderReach();
    click("transcribeThisMeetingButton");
    settle();
    ASSERT_TRUE(manager->session.get());
    EXPECT_TRUE(manager->session.get()->consent.automatic);
    EXPECT_FALSE(shown("automaticMeeting"));
}

} // namespace
} // namespace tallyvox::testing

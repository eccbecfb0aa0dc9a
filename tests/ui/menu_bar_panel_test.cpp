#include "UiHarness.h"

#include "fakes/LockedFolder.h"
#include "session/UnsavedTranscripts.h"
#include "settings/AppInfo.h"
#include "ui/MenuBarPanel.h"
#include "ui/PanelCompleted.h"
#include "ui/PanelHost.h"
#include "ui/PanelRows.h"
#include "ui/PanelStatus.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QScreen>
#include <QTest>
#include <QToolButton>

#include <memory>

#include <sys/stat.h>

namespace tallyvox::testing {
namespace {

namespace Key = SettingsManager::Key;
namespace fs = std::filesystem;

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

// MARK: The panel on the real manager

struct Fetch {
    DownloadItem item;
    std::function<void(double)> progress;
    std::function<void(std::optional<std::string>)> done;
};

class MenuBarPanelTest : public UiHarness {
protected:
    // The app as UiHarness launches it, with model downloads the test completes by hand and
    // the desktop's settings pages recorded.
    void launchPanel() {
        auto services = fakes.services();
        services.modelFetcher = [this](const DownloadItem& item,
                                       std::function<void(double)> progress,
                                       std::function<void(std::optional<std::string>)> done) {
            fetches.push_back({item, std::move(progress), std::move(done)});
        };
        manager = AppLifecycleManager::make(main, clock, services, stores);
        executor.runUntilIdle();
        ui::DesktopApp::Options options;
        options.useTray = false;
        options.terminate = [this] { ++terminated; };
        options.reduceMotion = [this] { return reduceMotion; };
        options.openFile = [this](const fs::path& f) {
            opened.push_back(f);
            return openFails;
        };
        options.revealFile = [this](const fs::path& f) {
            revealed.push_back(f);
            return revealFails;
        };
        options.openSystemSettings = [this](const std::string& page) { pages.push_back(page); };
        app = std::make_unique<ui::DesktopApp>(manager, stores, clock, options);
        app->start();
        settle();
    }
    // The views catch up, the manager's queued work stays queued.
    void redraw() { QCoreApplication::processEvents(); }

    ui::MenuBarPanel* panel() const { return app->panelHost()->panel(); }
    template <class T = QWidget> T* find(const char* name) const {
        auto* widget = panel()->findChild<T*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    bool shown(const char* name) const {
        auto* widget = find(name);
        return widget && widget->isVisibleTo(panel());
    }
    std::string text(const char* name) const {
        if (auto* widget = find(name)) {
            if (auto* label = qobject_cast<QLabel*>(widget))
                return label->text().toStdString();
            if (auto* button = qobject_cast<QAbstractButton*>(widget))
                return button->text().toStdString();
        }
        return "<no text>";
    }
    bool enabled(const char* name) const {
        auto* widget = find(name);
        return widget && widget->isEnabled();
    }
    void click(const char* name) {
        auto* button = find<QAbstractButton>(name);
        ASSERT_TRUE(button && button->isVisibleTo(panel()) && button->isEnabled()) << name;
        QTest::mouseClick(button, Qt::LeftButton);
    }
    std::vector<std::string> texts(const char* name) const {
        std::vector<std::string> result;
        for (auto* label : panel()->findChildren<QLabel*>(QLatin1String(name)))
            if (label->isVisibleTo(panel()))
                result.push_back(label->text().toStdString());
        return result;
    }
    std::vector<std::string> notices(const char* name) const {
        std::vector<std::string> result;
        for (auto* notice : panel()->findChildren<ui::Notice*>(QLatin1String(name)))
            if (notice->isVisibleTo(panel()))
                result.push_back(notice->text().toStdString());
        return result;
    }
    // Lands each model file the manager asked for, sized as a complete one.
    void completeDownloads() {
        for (size_t i = 0; i < fetches.size(); ++i) {
            const auto& local = fetches[i].item.local;
            const auto model = SettingsManager::model(stores);
            makeFile(local);
            fs::resize_file(local, local == model.localPath() ? model.minimumBytes()
                                                              : VADModel::minimumBytes);
            fetches[i].done(std::nullopt);
        }
        fetches.clear();
        settle();
    }

    // Every control on show has a name for tests and one for screen readers, and Tab
    // reaches it.
    void expectKeyboardAndScreenReaderReach() {
        auto* window = panel()->window();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
        std::vector<QWidget*> controls;
        for (auto* widget : panel()->findChildren<QWidget*>()) {
            const bool control = qobject_cast<QAbstractButton*>(widget) ||
                                 qobject_cast<QLineEdit*>(widget) ||
                                 widget->objectName() == "appInfo";
            if (!control || !widget->isVisibleTo(panel()) || !widget->isEnabled())
                continue;
            controls.push_back(widget);
            EXPECT_FALSE(widget->objectName().isEmpty()) << widget->metaObject()->className();
            EXPECT_FALSE(widget->accessibleName().isEmpty()) << widget->objectName().toStdString();
        }
        std::set<QWidget*> reached;
        controls.front()->setFocus(Qt::TabFocusReason);
        for (size_t i = 0; i < controls.size() * 2 + 4; ++i) {
            ASSERT_NE(QApplication::focusWidget(), nullptr);
            reached.insert(QApplication::focusWidget());
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        for (auto* widget : controls)
            EXPECT_TRUE(reached.count(widget)) << widget->objectName().toStdString();
    }

    std::vector<Fetch> fetches;
    std::vector<std::string> pages;
};

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

TEST_F(MenuBarPanelTest, RunningSessionShowsItsClockStatusLinesAndControls) {
    launchPanel();
    manager->start(zoom, confirmed(zoom));
    settle();
    ASSERT_TRUE(shown("transcribingView"));
    EXPECT_TRUE(panel()->isTicking());
    EXPECT_EQ(text("sessionState"), "Transcribing");
    EXPECT_EQ(find<ui::StatusDot>("sessionDot")->color(), ui::panelRed());
    EXPECT_EQ(text("sessionMeeting"), "Zoom · Zoom");
    EXPECT_FALSE(shown("micState")) << "no microphone in this session";
    EXPECT_FALSE(shown("micMuteButton"));
    EXPECT_EQ(text("stopButton"), "Stop");
    EXPECT_EQ(text("pauseButton"), "Pause");
    EXPECT_FALSE(shown("recentLines"));

    executor.advance(15);
    panel()->refresh();
    EXPECT_EQ(text("sessionElapsed"), "0:00:15");
    EXPECT_EQ(text("statusLine"), "Listening to meeting audio · kept in memory only");
    executor.advance(1);
    panel()->refresh();
    EXPECT_EQ(text("statusLine"), "No audio received yet. If people are talking, check that "
                                  "the meeting plays through this computer's sound output.");

    speak("First line.");
    speak("Second line.");
    speak("Third <b>line</b>.");
    speak("Fourth line.");
    settle();
    EXPECT_EQ(text("statusLine"), "Listening to meeting audio · kept in memory only");
    ASSERT_TRUE(shown("recentLines"));
    std::vector<QLabel*> shownLines;
    for (int i = 0; i < 3; ++i)
        shownLines.push_back(find<QLabel>(("recentLine" + std::to_string(i)).c_str()));
    const auto& segments = manager->segments.get();
    ASSERT_EQ(segments.size(), 4u);
    const std::string name = manager->speakerName(segments.back().speaker);
    EXPECT_EQ(shownLines[0]->accessibleName().toStdString(), name + ": Second line.")
        << "the last three";
    EXPECT_EQ(shownLines[2]->accessibleName().toStdString(), name + ": Fourth line.");
    EXPECT_TRUE(shownLines[1]->text().contains("Third &lt;b&gt;line&lt;/b&gt;."))
        << "heard text is never markup";

    // More than a minute of audio waiting for the recogniser.
    fakes.capture()->deliver(61);
    panel()->refresh();
    EXPECT_EQ(text("statusLine"),
              "Transcription is falling behind. Choose a smaller model in Settings.");
    settle();

    click("pauseButton");
    settle();
    EXPECT_EQ(text("sessionState"), "Paused");
    EXPECT_NE(find<ui::StatusDot>("sessionDot")->color(), ui::panelRed());
    EXPECT_EQ(text("pauseButton"), "Resume");
    EXPECT_EQ(text("statusLine"), "Audio capture is off while paused.");
    EXPECT_EQ(find<QProgressBar>("levelMeter")->value(), 0);
    expectKeyboardAndScreenReaderReach();
    click("pauseButton");
    settle();
    EXPECT_EQ(text("sessionState"), "Transcribing");

    click("stopButton");
    settle();
    EXPECT_FALSE(manager->session.get());
    EXPECT_TRUE(log.contains("Transcription stopped: user stopped"));
    EXPECT_FALSE(log.contains("user stopped this meeting")) << "a plain stop";
    EXPECT_FALSE(panel()->isTicking()) << "no session, no clock";
    EXPECT_TRUE(shown("showLiveTranscriptButton")) << "the lines are still there";
}

TEST_F(MenuBarPanelTest, MicrophoneRowsSayWhatHappensToYourVoice) {
    fakes.muteAllowed = false;
    launchPanel();
    setProtected(Key::includeMic, true);
    manager->start(zoom, confirmed(zoom));
    settle();
    ASSERT_TRUE(manager->hasMic());
    EXPECT_EQ(text("micStateText"), "Mic on");
    EXPECT_EQ(text("statusLine"), "Listening to meeting audio and your mic · kept in memory only");
    EXPECT_EQ(text("micMuteButton"), "Mute Mic in Transcript");
    EXPECT_EQ(
        notices("muteNotice"),
        std::vector<std::string>{"Turn on the desktop's accessibility support to follow mute."});
    click("openAccessibilitySettings");
    EXPECT_EQ(pages, std::vector<std::string>{"accessibility"});

    fakes.muteAllowed = true;
    executor.advance(AppLifecycleManager::muteRetryInterval);
    settle();
    ASSERT_EQ(fakes.muteWatchers.size(), 1u);
    panel()->refresh();
    EXPECT_EQ(notices("muteNotice"),
              std::vector<std::string>{
                  "Can't see the Zoom mute button, so muting there won't stop your mic here."});
    EXPECT_FALSE(shown("openAccessibilitySettings"));

    fakes.muteWatchers[0]->onChange(true);
    settle();
    EXPECT_EQ(text("meetingMutedLabel"), "Muted in Zoom: your mic is ignored.");
    EXPECT_TRUE(notices("muteNotice").empty());
    EXPECT_EQ(text("micStateText"), "Mic off");
    EXPECT_EQ(text("statusLine"), "Listening to meeting audio · kept in memory only");
    fakes.muteWatchers[0]->onChange(false);
    settle();
    EXPECT_FALSE(shown("meetingMutedLabel"));

    click("micMuteButton");
    settle();
    EXPECT_TRUE(manager->micMutedByUser.get());
    EXPECT_EQ(text("micMuteButton"), "Unmute Mic in Transcript");
    EXPECT_EQ(text("micStateText"), "Mic off");
    click("micMuteButton");
    settle();
    EXPECT_EQ(text("micStateText"), "Mic on");

    // 20 s without a sound from the microphone: the first problem, with its settings page.
    fakes.capture()->deliver(1);
    executor.advance(20);
    settle();
    ASSERT_TRUE(manager->micSilent.get());
    EXPECT_EQ(notices("micSilentNotice"),
              std::vector<std::string>{std::string(ui::panel::micSilentNotice)});
    EXPECT_TRUE(notices("muteNotice").empty()) << "one problem at a time";
    expectKeyboardAndScreenReaderReach();
    click("openMicrophoneSettings");
    EXPECT_EQ(pages.back(), "microphone");
}

TEST_F(MenuBarPanelTest, SavedTranscriptOpensRevealsAndExports) {
    launchPanel();
    manager->start(zoom, confirmed(zoom));
    settle();
    speak("Worth keeping.");
    manager->stop();
    settle();
    ASSERT_TRUE(shown("completedView"));
    const fs::path file = manager->transcript.get()->filePath;
    EXPECT_EQ(text("completedTitle"), "Transcript saved");
    EXPECT_EQ(text("completedFileName"), file.filename().string());
    EXPECT_TRUE(shown("activityDivider"));
    expectKeyboardAndScreenReaderReach();

    click("openTranscriptButton");
    EXPECT_EQ(opened, std::vector<fs::path>{file});
    click("showInFilesButton");
    EXPECT_EQ(revealed, std::vector<fs::path>{file});

    auto* menu = find<QToolButton>("exportButton")->menu();
    ASSERT_NE(menu, nullptr);
    std::vector<std::string> labels;
    for (auto* action : menu->actions())
        labels.push_back(action->text().toStdString());
    EXPECT_EQ(labels, (std::vector<std::string>{"Markdown (.md)", "Subtitles (.srt)",
                                                "Word (.docx)", "PDF (.pdf)"}));
    const ExportFormat formats[] = {ExportFormat::markdown, ExportFormat::srt, ExportFormat::word,
                                    ExportFormat::pdf};
    for (size_t i = 0; i < 4; ++i) {
        menu->actions()[static_cast<qsizetype>(i)]->trigger();
        // Written and shown, or refused with a reason that names the asked-for format.
        const auto target = exportPath(file, formats[i]);
        const auto& error = manager->lastError.get();
        EXPECT_TRUE(fs::exists(target) ? fakes.revealed.back() == target
                                       : error && contains(*error, "Export failed") &&
                                             contains(*error, std::string(rawValue(formats[i]))))
            << labels[i];
    }
    EXPECT_TRUE(fs::exists(exportPath(file, ExportFormat::markdown)));
    EXPECT_TRUE(contains(*readWholeFile(exportPath(file, ExportFormat::srt)), "Worth keeping."));
}

// "Transcript saved" is only said of a file that was written.
TEST_F(MenuBarPanelTest, TranscriptThatCouldNotBeWrittenIsNotCalledSaved) {
    launchPanel();
    manager->start(zoom, confirmed(zoom));
    settle();
    speak("Kept in memory.");
    const fs::path file = manager->transcript.get()->filePath;
    {
        LockedFolder locked(file.parent_path());
        if (!locked.active())
            GTEST_SKIP() << "no way to make a folder unwritable here";
        manager->stop();
        settle();
        EXPECT_FALSE(shown("completedView"));
        ASSERT_EQ(notices("lastErrorNotice").size(), 1u);
        EXPECT_TRUE(contains(notices("lastErrorNotice")[0], "Couldn't save the transcript"));
        EXPECT_EQ(find<ui::Notice>("lastErrorNotice")->color(), ui::panelRed());
    }
    executor.advance(UnsavedTranscripts::retryInterval);
    settle();
    EXPECT_TRUE(shown("completedView")) << "written on the retry";
}

TEST_F(MenuBarPanelTest, ProblemsShowAsNoticesInTheirColours) {
    launchPanel();
    manager->start(zoom, *ConsentManager::confirm(zoom, true, clock.now())); // not listed
    settle();
    EXPECT_EQ(notices("lastErrorNotice"),
              std::vector<std::string>{"That meeting has already ended."});

    fakes.detection->automationDenied.set({"Firefox", "Chromium"});
    settle();
    const std::string tail = " can't be detected. Tallyvox can't read its open tabs; check that "
                             "its profile folder is readable and not in a sandbox Tallyvox "
                             "can't reach.";
    EXPECT_EQ(notices("browserNotice"),
              (std::vector<std::string>{"Web meetings in Chromium" + tail,
                                        "Web meetings in Firefox" + tail}));
    for (auto* notice : panel()->findChildren<ui::Notice*>("browserNotice"))
        EXPECT_EQ(notice->color(), ui::panelOrange());

    fakes.detection->list(zoom);
    settle();
    click("downloadModelsButton"); // the speech-detection model is not here
    settle();
    ASSERT_FALSE(fetches.empty());
    fetches[0].done("connection refused");
    settle();
    EXPECT_EQ(notices("downloadErrorNotice"),
              std::vector<std::string>{"Model download failed: connection refused"});
    EXPECT_TRUE(shown("downloadModelsButton")) << "ready to try again";

    fakes.detection->automationDenied.set({});
    manager->lastError.set(std::nullopt);
    settle();
    EXPECT_TRUE(notices("browserNotice").empty());
    EXPECT_TRUE(notices("lastErrorNotice").empty());
}

// The popup beside a tray at the bottom of the screen grows upwards as rows arrive, and what the
// screen cannot hold scrolls.
TEST_F(MenuBarPanelTest, PopupKeepsItsTrayEdgeAndStaysOnScreenAsItGrows) {
    grantStanding();
    launchPanel();
    ui::PanelHost popup(app->context(), ui::PanelHost::Mode::popup);
    const QRect free = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect tray(free.center().x(), free.bottom() - 20, 24, 24);
    popup.showNear(tray);
    settle();
    const int edge = tray.top() - 4;
    EXPECT_EQ(popup.geometry().bottom(), edge);
    const int idle = popup.height();

    manager->start(zoom, confirmed(zoom));
    settle();
    speak("Worth keeping.");
    manager->stop();
    settle();
    ASSERT_TRUE(popup.panel()->findChild<QWidget*>("completedView")->isVisible());
    EXPECT_GT(popup.height(), idle);
    EXPECT_EQ(popup.geometry().bottom(), edge) << "grew upwards, away from the tray";
    EXPECT_TRUE(free.contains(popup.geometry()));
    EXPECT_FALSE(popup.isScrolling());

    std::set<std::string> browsers;
    for (int i = 0; i < 12; ++i)
        browsers.insert("Browser " + std::to_string(i));
    fakes.detection->automationDenied.set(browsers);
    settle();
    EXPECT_TRUE(popup.isScrolling());
    EXPECT_EQ(popup.geometry().bottom(), edge);
    EXPECT_TRUE(free.contains(popup.geometry())) << "the whole popup on screen";
    EXPECT_EQ(popup.geometry().top(), free.top());

    fakes.detection->automationDenied.set({});
    settle();
    EXPECT_FALSE(popup.isScrolling());
    EXPECT_EQ(popup.geometry().bottom(), edge);
}

// How the panel looks: no focus ring until focus comes from the keyboard, the Export arrow
// beside its label, and captions that read at 4.5:1.
TEST_F(MenuBarPanelTest, FocusRingsArrowsAndCaptionsAreReadable) {
    launchPanel();
    auto* window = panel()->window();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    auto* search = find<ui::RowButton>("searchPastTranscriptsButton");
    QCoreApplication::sendEvent(window, std::make_unique<QEvent>(QEvent::WindowActivate).get());
    search->setFocus(Qt::TabFocusReason); // as Qt does when the panel opens
    ASSERT_TRUE(search->hasFocus());
    EXPECT_FALSE(search->showsFocusRing());
    const QImage opened = search->grab().toImage();
    search->clearFocus();
    EXPECT_EQ(opened, search->grab().toImage()) << "opening drew a ring";
    search->setFocus(Qt::TabFocusReason);
    QTest::keyClick(search, Qt::Key_Tab);
    auto* next = qobject_cast<ui::RowButton*>(QApplication::focusWidget());
    ASSERT_NE(next, nullptr);
    EXPECT_TRUE(next->showsFocusRing()) << "Tab shows where focus is";

    manager->start(zoom, confirmed(zoom));
    settle();
    speak("Worth keeping.");
    manager->stop();
    settle();
    auto* exportButton = find<ui::MenuButton>("exportButton");
    ASSERT_NE(exportButton, nullptr);
    exportButton->resize(exportButton->sizeHint());
    const QRect label = exportButton->labelRect();
    EXPECT_FALSE(label.intersects(exportButton->arrowRect()));
    EXPECT_GE(label.width(), exportButton->fontMetrics().horizontalAdvance("Export") +
                                 exportButton->iconSize().width());

    auto* caption = find<QLabel>("completedFileName");
    const QPalette& palette = caption->palette();
    EXPECT_GE(
        ui::contrastRatio(palette.color(QPalette::WindowText), palette.color(QPalette::Window)),
        4.5);
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
    dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Base, QColor(0x24, 0x24, 0x24));
    dark.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::PlaceholderText, QColor(0x60, 0x60, 0x60));
    EXPECT_GE(ui::contrastRatio(ui::readableSecondary(dark), dark.color(QPalette::Window)), 4.5);
    QPalette light = dark;
    light.setColor(QPalette::Window, QColor(0xef, 0xef, 0xef));
    light.setColor(QPalette::WindowText, Qt::black);
    light.setColor(QPalette::Base, Qt::white);
    light.setColor(QPalette::Text, Qt::black);
    light.setColor(QPalette::PlaceholderText, QColor(0x84, 0x84, 0x84));
    const QColor grey = ui::readableSecondary(light);
    EXPECT_GE(ui::contrastRatio(grey, light.color(QPalette::Window)), 4.5);
    EXPECT_NE(grey, QColor(Qt::black)) << "still a secondary grey";
}

TEST_F(MenuBarPanelTest, OpeningOrShowingAFileThatFailsSaysWhyInThePanel) {
    launchPanel();
    manager->start(zoom, confirmed(zoom));
    settle();
    speak("Worth keeping.");
    manager->stop();
    settle();
    const std::string name = manager->transcript.get()->filePath.filename().string();
    openFails = "no application is set to open it";
    click("openTranscriptButton");
    settle();
    EXPECT_EQ(
        notices("lastErrorNotice"),
        std::vector<std::string>{"Couldn't open " + name + ": no application is set to open it"});
    revealFails = "no file manager answered";
    click("showInFilesButton");
    settle();
    EXPECT_EQ(
        notices("lastErrorNotice"),
        std::vector<std::string>{"Couldn't show " + name + " in Files: no file manager answered"});

    // An export is written all the same; only showing it failed.
    fakes.revealFails = "no file manager answered";
    find<QToolButton>("exportButton")->menu()->actions()[0]->trigger();
    settle();
    const auto markdown = exportPath(manager->transcript.get()->filePath, ExportFormat::markdown);
    EXPECT_TRUE(fs::exists(markdown));
    EXPECT_EQ(notices("lastErrorNotice"),
              std::vector<std::string>{"Couldn't show " + markdown.filename().string() +
                                       " in Files: no file manager answered"});
}

} // namespace
} // namespace tallyvox::testing

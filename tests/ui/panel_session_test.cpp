// The panel during and after a session: its controls, microphone rows and saved files.
#include "PanelHarness.h"

namespace tallyvox::testing {
namespace {

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
    const auto& segments = manager->live().segments.get();
    ASSERT_EQ(segments.size(), 4u);
    const std::string name = manager->live().speakerName(segments.back().speaker);
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
    const fs::path file = manager->live().record.get()->filePath;
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
    const fs::path file = manager->live().record.get()->filePath;
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

TEST_F(MenuBarPanelTest, OpeningOrShowingAFileThatFailsSaysWhyInThePanel) {
    launchPanel();
    manager->start(zoom, confirmed(zoom));
    settle();
    speak("Worth keeping.");
    manager->stop();
    settle();
    const std::string name = manager->live().record.get()->filePath.filename().string();
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
    const auto markdown =
        exportPath(manager->live().record.get()->filePath, ExportFormat::markdown);
    EXPECT_TRUE(fs::exists(markdown));
    EXPECT_EQ(notices("lastErrorNotice"),
              std::vector<std::string>{"Couldn't show " + markdown.filename().string() +
                                       " in Files: no file manager answered"});
}

} // namespace
} // namespace tallyvox::testing

// Pictures of every surface in its main states, for people to look at (docs/screenshots).
// Runs only when TALLYVOX_SCREENSHOTS names the folder to write to: scripts/screenshots.
#include "UiHarness.h"

#include "fakes/ScriptedRecognizer.h"
#include "ui/Palette.h"
#include "ui/PanelHost.h"
#include "ui/PastSearchWindow.h"

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>

#include <cstdlib>

namespace tallyvox::testing {
namespace {

class Screenshots : public UiHarness {
protected:
    void SetUp() override {
        const char* folder = std::getenv("TALLYVOX_SCREENSHOTS");
        if (!folder || !*folder)
            GTEST_SKIP() << "set TALLYVOX_SCREENSHOTS to a folder to take the pictures";
        out = folder;
        std::filesystem::create_directories(out);
        defaults.set("noTrayExplained", true);
        defaults.set(SettingsManager::Key::myName, "Priya Raman");
        // The palette the desktop app sets at start on a desktop that prefers light.
        ui::usePalette(false);
    }
    void TearDown() override { QApplication::setPalette(original); }

    void shoot(QWidget* widget, const std::string& name) {
        ASSERT_NE(widget, nullptr) << name;
        widget->show();
        settle();
        // Windows keep the size they open with; the panel fits its rows.
        if (name.rfind("panel", 0) == 0)
            widget->adjustSize();
        // Lists lay their rows out again a moment after a resize.
        QTest::qWait(400);
        settle();
        ASSERT_TRUE(widget->grab().save(QString::fromStdString((out / (name + ".png")).string())))
            << name;
    }

    void meetingWithSpeakers() {
        defaults.set(SettingsManager::Key::diarize, true);
        defaults.set(SettingsManager::Key::model, "tiny");
        fakes.loadDiarizer = diarizerLoader(voices);
        launchApp(false);
        manager->start(zoom, confirmed(zoom));
        settle();
        ASSERT_TRUE(manager->session.get()) << "the meeting did not start";
        const std::pair<int, const char*> lines[] = {
            {0, "Morning everyone, let's start with the release plan for Thursday."},
            {1, "The build is green. Two reviews are still open on the sync service."},
            {1, "I can finish both of them today."},
            {0, "Great. Asha, can you check the Kubernetes rollout once they land?"},
            {2, "Yes, I'll take the rollout and post the numbers in the channel."},
        };
        for (const auto& [speaker, text] : lines) {
            voices->pushSpeakers({speaker});
            speak(text);
        }
        manager->live().rename(2, "Asha");
        settle();
    }

    std::filesystem::path out;
    QPalette original = QApplication::palette();
    std::shared_ptr<DiarizerScript> voices = std::make_shared<DiarizerScript>();
};

TEST_F(Screenshots, Panel) {
    defaults.set("noTrayExplained", false);
    launchApp(false);
    shoot(app->panelHost(), "panel-first-run-without-tray");
    app.reset();

    defaults.set("noTrayExplained", true);
    defaults.set(SettingsManager::Key::model, "small");
    launchApp(false);
    fakes.detection->begin(zoom);
    fakes.detection->begin(meet);
    settle();
    shoot(app->panelHost(), "panel-meeting-detected-download-needed");
    app.reset();

    meetingWithSpeakers();
    shoot(app->panelHost(), "panel-transcribing");
    manager->togglePause();
    shoot(app->panelHost(), "panel-paused");
    manager->stop();
    settle();
    shoot(app->panelHost(), "panel-transcript-saved");
}

TEST_F(Screenshots, LiveTranscript) {
    launchApp(false);
    app->showLiveTranscript();
    shoot(app->liveTranscriptWindow(), "live-transcript-empty");
    app.reset();

    meetingWithSpeakers();
    app->showLiveTranscript();
    shoot(app->liveTranscriptWindow(), "live-transcript");
}

TEST_F(Screenshots, Settings) {
    launchApp(false);
    app->showSettings();
    auto* tabs = app->settingsWindow()->findChild<QTabWidget*>();
    if (!tabs) {
        shoot(app->settingsWindow(), "settings");
        return;
    }
    const char* names[] = {"settings-general", "settings-transcription", "settings-privacy"};
    for (int i = 0; i < tabs->count() && i < 3; ++i) {
        tabs->setCurrentIndex(i);
        shoot(app->settingsWindow(), names[i]);
    }
}

// The same surfaces where the desktop prefers dark.
TEST_F(Screenshots, Dark) {
    QApplication::setPalette(original);
    ui::usePalette(true);
    meetingWithSpeakers();
    shoot(app->panelHost(), "panel-transcribing-dark");
    app->showLiveTranscript();
    shoot(app->liveTranscriptWindow(), "live-transcript-dark");
    app->showSettings();
    auto* tabs = app->settingsWindow()->findChild<QTabWidget*>();
    ASSERT_NE(tabs, nullptr);
    const char* names[] = {"settings-general-dark", "settings-transcription-dark",
                           "settings-privacy-dark"};
    for (int i = 0; i < tabs->count() && i < 3; ++i) {
        tabs->setCurrentIndex(i);
        shoot(app->settingsWindow(), names[i]);
    }
    app->showPastSearch();
    // The meeting's own transcript file is on disk while it runs.
    auto* past = static_cast<ui::PastSearchWindow*>(app->pastSearchWindow());
    past->searchField()->setText(QStringLiteral("rollout"));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return past->state() != ui::PastSearchWindow::State::searching; }, 10000));
    shoot(past, "past-search-dark");
}

} // namespace
} // namespace tallyvox::testing

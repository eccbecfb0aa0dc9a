#pragma once

#include "UiHarness.h"

#include "ui/FixWordPopover.h"
#include "ui/LiveTranscriptWindow.h"
#include "ui/PastSearchWindow.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace tallyvox::testing {

// Every window of the desktop app open at once over a meeting with named speakers and past
// transcripts with matches: what the accessibility checks walk,
// in-process and as a separate process read over the accessibility bus.
class AccessibilityScene : public UiHarness {
public:
    void TestBody() override {}

    // False when the past search found nothing to show.
    [[nodiscard]] bool stage() {
        defaults.set("noTrayExplained", true);
        defaults.set(SettingsManager::Key::myName, "Priya Raman");
        defaults.set(SettingsManager::Key::diarize, true);
        fakes.loadDiarizer = diarizerLoader(voices);
        const auto past = dir / "Documents/Tallyvox/2026/December/06-12-26/Zoom_Meeting_14-05.txt";
        std::filesystem::create_directories(past.parent_path());
        std::ofstream(past) << "Meeting: Budget review\nDate: 6 December 2026\n\n"
                               "[00:00:04] Sam:\nThe budget is ready.\n";
        launchApp(false);
        manager->start(zoom, confirmed(zoom));
        settle();
        const std::pair<int, const char*> lines[] = {
            {0, "Morning everyone, let's start with the budget."},
            {1, "The build is green."},
        };
        for (const auto& [speaker, text] : lines) {
            voices->pushSpeakers({speaker});
            speak(text);
        }
        manager->live().rename(1, "Asha");
        settle();

        app->showSettings();
        app->showPastSearch();
        auto* past_ = static_cast<ui::PastSearchWindow*>(app->pastSearchWindow());
        past_->searchField()->setText(QStringLiteral("budget"));
        const bool found = QTest::qWaitFor(
            [&] { return past_->state() == ui::PastSearchWindow::State::hits; }, 30000);
        app->showLiveTranscript();
        app->showPanel();
        settle();
        return found;
    }

    // The meeting ends: the panel offers the saved transcript (open, show, the export menu).
    void finishMeeting() {
        manager->stop();
        settle();
    }

    // The windows staged: the panel, the live transcript, the settings and the past search.
    std::vector<QWidget*> windows() const {
        return {app->panelHost(), app->liveTranscriptWindow(), app->settingsWindow(),
                app->pastSearchWindow()};
    }
    ui::LiveTranscriptWindow* live() const {
        return static_cast<ui::LiveTranscriptWindow*>(app->liveTranscriptWindow());
    }

    // Every state of the staged windows: each settings tab, the Fix a Word popover, and the
    // panel once the meeting is over (which ends the meeting).
    void eachView(const std::function<void(QWidget*, const std::string&)>& check) {
        for (QWidget* window : windows()) {
            auto* tabs = window->findChild<QTabWidget*>();
            for (int i = 0; i < (tabs ? tabs->count() : 1); ++i) {
                std::string view = window->windowTitle().toStdString();
                if (tabs) {
                    tabs->setCurrentIndex(i);
                    settle();
                    view += " (" + tabs->tabText(i).toStdString() + ")";
                }
                check(window, view);
            }
        }
        auto* popover = live()->openFixWord(0);
        ASSERT_NE(popover, nullptr);
        settle();
        check(popover, "Fix a Word");
        // Its error line, as a word that is not in the transcript shows it.
        popover->findChild<QLineEdit*>("wrongWord")->setText(QStringLiteral("zebra"));
        popover->findChild<QLineEdit*>("rightWord")->setText(QStringLiteral("zero"));
        popover->findChild<QAbstractButton*>("fixButton")->click();
        settle();
        ASSERT_TRUE(popover->findChild<QLabel*>("noMatch")->isVisible());
        check(popover, "Fix a Word (no match)");
        popover->close();
        finishMeeting();
        check(app->panelHost(), "Tallyvox (saved)");
    }

    std::shared_ptr<DiarizerScript> voices = std::make_shared<DiarizerScript>();
};

} // namespace tallyvox::testing

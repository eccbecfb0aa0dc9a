#include "UiHarness.h"

#include "fakes/Lines.h"
#include "fakes/ScriptedRecognizer.h"
#include "transcripts/TranscriptFormat.h"
#include "ui/FixWordPopover.h"
#include "ui/LiveTranscriptWindow.h"
#include "ui/RenamePopover.h"
#include "ui/SegmentDelegate.h"
#include "ui/SpeakersSheet.h"
#include "ui/TranscriptLines.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTest>
#include <QToolButton>

namespace tallyvox::testing {
namespace {

namespace Key = SettingsManager::Key;
using ui::LiveTranscriptWindow;

// The live window over a running Zoom meeting whose voices the scripted diarizer numbers.
class LiveTranscriptTest : public UiHarness {
protected:
    void open(bool startSession = true) {
        defaults.set(Key::diarize, true);
        fakes.loadDiarizer = diarizerLoader(voices);
        launchApp();
        if (startSession) {
            manager->start(zoom, confirmed(zoom));
            settle();
        }
        app->showLiveTranscript();
        window = static_cast<LiveTranscriptWindow*>(app->liveTranscriptWindow());
        settle();
    }
    // A line through the engine, as a meeting produces it.
    void say(int speaker, const std::string& text, double seconds = 3) {
        voices->pushSpeakers({speaker});
        speak(text, seconds);
        settle();
    }
    // Many lines at once, straight into the session.
    void addLines(int count, std::optional<int> speaker, const std::string& text) {
        manager->live().segments.modify([&](auto& lines) {
            double at = lines.empty() ? 0 : lines.back().end;
            for (int i = 0; i < count; ++i)
                lines.push_back(
                    line(at + i * 4, at + i * 4 + 3, text + " " + std::to_string(i), speaker));
        });
        settle();
    }
    void search(const QString& text) {
        window->findChild<QLineEdit*>("searchField")->setText(text);
        settle();
    }
    QString status() const { return window->findChild<QLabel*>("status")->text(); }
    QString page() const {
        return window->findChild<QStackedWidget*>()->currentWidget()->objectName();
    }
    const ui::TranscriptRow& row(int i) const { return window->model().row(i); }
    int rows() const { return window->model().rowCount(); }
    static bool shown(QWidget* widget) { return widget && widget->isVisible(); }
    QAction* action(QMenu& menu, const QString& text) {
        for (auto* a : menu.actions())
            if (a->text() == text)
                return a;
        ADD_FAILURE() << "no menu item " << text.toStdString();
        return nullptr;
    }

    std::shared_ptr<DiarizerScript> voices = std::make_shared<DiarizerScript>();
    LiveTranscriptWindow* window = nullptr;
};

TEST_F(LiveTranscriptTest, StatusToolbarAndEmptyStatesFollowTheSession) {
    open(false);
    EXPECT_EQ(window->minimumSize(), QSize(380, 300));
    EXPECT_EQ(window->windowTitle(), "Live Transcript — Not transcribing");
    EXPECT_EQ(page(), "noTranscript");
    EXPECT_FALSE(window->findChild<QWidget*>("sessionBar")->isVisibleTo(window));

    manager->start(zoom, confirmed(zoom));
    settle();
    EXPECT_EQ(status(), "Transcribing · Zoom");
    EXPECT_TRUE(window->findChild<QWidget*>("sessionBar")->isVisibleTo(window));
    executor.advance(65);
    settle();
    auto* pause = window->findChild<QPushButton*>("pauseButton");
    EXPECT_EQ(pause->text(), "Pause");
    pause->click();
    settle();
    EXPECT_EQ(window->windowTitle(), "Live Transcript — Paused · Zoom");
    EXPECT_EQ(pause->text(), "Resume");
    EXPECT_EQ(window->findChild<QLabel*>("elapsed")->text().toStdString(),
              TranscriptFormat::timestamp(manager->session.get()->elapsed(clock.now())));
    pause->click();
    settle();
    EXPECT_EQ(status(), "Transcribing · Zoom");
    window->activateWindow();
    QApplication::setActiveWindow(window);
    window->list()->setFocus();
    QTest::keyClick(window->list(), Qt::Key_F, Qt::ControlModifier);
    EXPECT_TRUE(window->findChild<QLineEdit*>("searchField")->hasFocus()) << "Ctrl+F";

    say(0, "First words.");
    EXPECT_EQ(page(), "transcriptLines");
    search("nowhere");
    EXPECT_EQ(page(), "noResults");
    EXPECT_EQ(window->findChild<QLabel*>("noResultsTitle")->text(), "No Results for “nowhere”");
    EXPECT_EQ(status(), "0 of 1 lines");

    // Every control can be reached from the keyboard and is named for assistive technology.
    window->openSpeakers();
    settle();
    for (QWidget* root :
         {static_cast<QWidget*>(window), static_cast<QWidget*>(window->speakersSheet())})
        for (auto* control : root->findChildren<QWidget*>()) {
            if (!qobject_cast<QAbstractButton*>(control) && !qobject_cast<QLineEdit*>(control) &&
                !qobject_cast<QListView*>(control))
                continue;
            if (control->parent() && qobject_cast<QLineEdit*>(control->parent()))
                continue; // the search field's own clear button
            EXPECT_FALSE(control->objectName().isEmpty());
            EXPECT_FALSE(control->accessibleName().isEmpty())
                << control->objectName().toStdString();
            EXPECT_TRUE(control->focusPolicy() & Qt::TabFocus)
                << control->objectName().toStdString();
        }
}

TEST_F(LiveTranscriptTest, SearchFindsSpeakerNamesCountsLinesAndIgnoresBlankQueries) {
    open();
    addLines(60, 0, "We talk about the Budget");
    addLines(3, 1, "Agreed");
    addLines(57, 0, "More about the plan");
    manager->live().rename(1, "Sam");
    settle();
    ASSERT_EQ(rows(), 120);

    search("sam");
    EXPECT_EQ(rows(), 3) << "lines of a speaker named Sam, though their text never says it";
    EXPECT_EQ(status(), "3 of 120 lines");
    EXPECT_EQ(window->windowTitle(), "Live Transcript — 3 of 120 lines");
    EXPECT_TRUE(row(0).header) << "the first shown line heads its turn";
    EXPECT_EQ(row(0).name, "Sam");
    EXPECT_TRUE(row(0).highlights.isEmpty());

    search("  BUDGET\n");
    ASSERT_EQ(rows(), 60);
    EXPECT_EQ(row(0).text, "We talk about the Budget 0");
    EXPECT_EQ(row(0).highlights, (QList<QPair<int, int>>{{18, 24}}));

    search("   ");
    EXPECT_EQ(rows(), 120);
    EXPECT_EQ(status(), "Transcribing · Zoom");
}

TEST_F(LiveTranscriptTest, FollowingStopsWhenScrolledUpAndResumesAtTheBottom) {
    open();
    addLines(80, 0, "A line that fills the window");
    auto* bar = window->list()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_TRUE(window->followsLatest());
    EXPECT_EQ(bar->value(), bar->maximum());

    bar->setValue(0);
    EXPECT_FALSE(window->followsLatest());
    addLines(5, 1, "Newer");
    EXPECT_EQ(bar->value(), 0) << "reading older lines is not interrupted";

    bar->setValue(bar->maximum());
    EXPECT_TRUE(window->followsLatest());
    addLines(5, 1, "Newest");
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_TRUE(window->followsLatest());

    search("A line that fills");
    addLines(1, 1, "Arrives while searching");
    search("");
    EXPECT_EQ(bar->value(), bar->maximum()) << "clearing the search returns to the newest line";
    EXPECT_TRUE(window->followsLatest());
}

TEST_F(LiveTranscriptTest, FollowingGlidesToTheNewestLineUnlessTheDesktopAsksForLessMotion) {
    reduceMotion = false;
    open();
    addLines(80, 0, "A line that fills the window");
    auto* bar = window->list()->verticalScrollBar();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isScrollingToLatest(); }, 5000));
    const int before = bar->value();
    addLines(5, 1, "Newer");
    EXPECT_TRUE(window->isScrollingToLatest()) << "glides, not jumps";
    EXPECT_LT(bar->value(), bar->maximum());
    EXPECT_GE(bar->value(), before);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isScrollingToLatest(); }, 5000));
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_TRUE(window->followsLatest()) << "the glide is not the user scrolling away";

    reduceMotion = true;
    addLines(5, 1, "Newest");
    EXPECT_FALSE(window->isScrollingToLatest());
    EXPECT_EQ(bar->value(), bar->maximum()) << "at once";
}

TEST_F(LiveTranscriptTest, TurnsCaptionsAndColours) {
    EXPECT_EQ(ui::speakerColor(8), ui::speakerColor(0));
    EXPECT_NE(ui::speakerColor(1), ui::speakerColor(0));
    EXPECT_EQ(ui::speakerColor(500), ui::speakerColor(4));
    EXPECT_EQ(ui::speakerColor(std::nullopt), QColor(142, 142, 147));
    EXPECT_EQ(ui::lineCaption(std::nullopt, 65.7), "00:01:05");

    open();
    manager->live().segments.set({line(0, 3, "One.", 0), line(4, 6, "Two.", 0),
                                  line(7, 9, "Three.", 1), line(200, 202, "Much later.", 1),
                                  line(203, 205, "Who?")});
    settle();
    ASSERT_EQ(rows(), 5);
    std::vector<bool> headers;
    for (int i = 0; i < rows(); ++i)
        headers.push_back(row(i).header);
    EXPECT_EQ(headers, (std::vector<bool>{true, false, true, true, true}))
        << "a new voice, a long silence and a line without speaker each start a turn";
    EXPECT_EQ(row(0).caption, ui::lineCaption(manager->live().record.get(), 0));
    EXPECT_NE(row(0).caption, ui::lineCaption(manager->live().record.get(), 200));
    EXPECT_EQ(row(4).name, "Unidentified");
    // "Unidentified" is a button too: naming it gives the line a speaker of that name.
    auto* view = window->list();
    auto unnamed = window->model().index(4);
    view->scrollTo(unnamed);
    QRect name = window->delegate().nameRect(view->visualRect(unnamed), unnamed);
    ASSERT_FALSE(name.isEmpty());
    QMouseEvent hover(QEvent::MouseMove, QPointF(name.center()),
                      QPointF(view->viewport()->mapToGlobal(name.center())), Qt::NoButton,
                      Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view->viewport(), &hover);
    EXPECT_EQ(view->viewport()->cursor().shape(), Qt::PointingHandCursor);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, name.center());
    settle();
    auto* popover = window->renamePopover();
    ASSERT_NE(popover, nullptr);
    EXPECT_EQ(popover->findChild<QLabel*>("renameTitle")->text(), "Rename Unidentified");
    popover->field()->setText("Guest");
    QTest::keyClick(popover->field(), Qt::Key_Return);
    settle();
    EXPECT_EQ(row(4).name, "Guest");
    EXPECT_TRUE(row(4).speaker.has_value());
    EXPECT_EQ(row(3).name, QString::fromStdString(manager->live().speakerName(1)))
        << "the other lines keep their speakers";
    EXPECT_TRUE(
        window->delegate().nameRect(QRect(0, 0, 400, 100), window->model().index(1)).isNull())
        << "lines inside a turn show no name";
}

TEST_F(LiveTranscriptTest, RenamingThroughTheNameButtonRewritesTheTranscriptFile) {
    open();
    say(0, "Hello there.");
    say(0, "Still me.");
    say(1, "Hi.");
    ASSERT_EQ(rows(), 3);
    auto* view = window->list();
    auto index = window->model().index(0);
    QRect name = window->delegate().nameRect(view->visualRect(index), index);
    ASSERT_FALSE(name.isEmpty());
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, name.center());
    settle();
    auto* popover = window->renamePopover();
    ASSERT_NE(popover, nullptr);
    EXPECT_EQ(popover->findChild<QLabel*>("renameTitle")->text(),
              "Rename Speaker A (Unidentified)");
    EXPECT_TRUE(popover->field()->text().isEmpty());
    popover->field()->setText("  Sam ");
    QTest::keyClick(popover->field(), Qt::Key_Return);
    settle();
    EXPECT_FALSE(shown(window->renamePopover()));
    EXPECT_EQ(row(0).name, "Sam");
    EXPECT_EQ(row(2).name, "Speaker B (Unidentified)");
    EXPECT_TRUE(contains(fileText(), "Sam"));
    EXPECT_EQ(fileText(), expectedText());

    popover = window->openRename(0);
    EXPECT_EQ(popover->field()->text(), "Sam") << "the typed name to edit";
    popover->field()->clear();
    popover->findChild<QPushButton*>("renameButton")->click();
    settle();
    EXPECT_EQ(row(0).name, "Speaker A (Unidentified)") << "an empty name removes the typed one";
    EXPECT_FALSE(contains(fileText(), "Sam"));

    popover = window->openRename(2);
    popover->field()->setText("Kim");
    popover->findChild<QPushButton*>("renameCancel")->click();
    settle();
    EXPECT_EQ(row(2).name, "Speaker B (Unidentified)");

    // From the keyboard: Return on a line renames its speaker.
    view->setCurrentIndex(window->model().index(1));
    QTest::keyClick(view, Qt::Key_Return);
    settle();
    ASSERT_TRUE(shown(window->renamePopover()));
    EXPECT_EQ(window->renamePopover()->findChild<QLabel*>("renameTitle")->text(),
              "Rename Speaker A (Unidentified)");
    window->renamePopover()->reject();
}

TEST_F(LiveTranscriptTest, AFinishedTranscriptStaysEditableUntilTheNextSessionClearsIt) {
    open();
    say(0, "Before the end.");
    say(1, "The last word.");
    manager->stop();
    settle();
    ASSERT_FALSE(manager->session.get().has_value());
    EXPECT_EQ(rows(), 2);
    EXPECT_EQ(status(), "Not transcribing");
    EXPECT_FALSE(window->findChild<QWidget*>("sessionBar")->isVisibleTo(window));
    auto* popover = window->openRename(1);
    ASSERT_NE(popover, nullptr);
    popover->field()->setText("Kim");
    popover->accept();
    settle();
    EXPECT_EQ(row(1).name, "Kim");
    EXPECT_TRUE(contains(fileText(), "Kim"));

    manager->start(zoom, confirmed(zoom));
    settle();
    EXPECT_EQ(rows(), 0);
    EXPECT_EQ(page(), "noTranscript");
    EXPECT_EQ(status(), "Transcribing · Zoom");
}

TEST_F(LiveTranscriptTest, FixingAWordThatIsNowhereKeepsTheWordsAndAMatchFixesEveryLine) {
    open();
    say(0, "The cubernetes cluster.");
    say(0, "Cubernetes again, cubernetes.");
    auto menu = window->lineMenu(1);
    action(*menu, "Fix a Word…")->trigger();
    settle();
    auto* fix = window->fixWordPopover();
    ASSERT_NE(fix, nullptr);
    EXPECT_FALSE(fix->fixButton()->isEnabled());
    // Filled fields keep their names on screen.
    for (auto [label, field] : {std::pair{"wrongWordLabel", fix->wrongField()},
                                std::pair{"rightWordLabel", fix->rightField()}}) {
        auto* shownLabel = fix->findChild<QLabel*>(QLatin1String(label));
        ASSERT_NE(shownLabel, nullptr) << label;
        EXPECT_TRUE(shownLabel->isVisible()) << label;
        EXPECT_EQ(shownLabel->buddy(), field) << label;
    }
    fix->wrongField()->setText("gizmo");
    fix->rightField()->setText(" \t ");
    EXPECT_FALSE(fix->fixButton()->isEnabled()) << "blank after cleaning";
    fix->rightField()->setText("widget");
    ASSERT_TRUE(fix->fixButton()->isEnabled());
    auto before = fileText();
    QTest::keyClick(fix->rightField(), Qt::Key_Return);
    settle();
    ASSERT_TRUE(shown(fix)) << "stays open";
    EXPECT_TRUE(fix->noMatchLabel()->isVisibleTo(fix));
    EXPECT_EQ(fix->noMatchLabel()->text(), "That word isn't in this transcript.");
    EXPECT_EQ(fix->wrongField()->text(), "gizmo");
    EXPECT_EQ(fix->rightField()->text(), "widget");
    EXPECT_EQ(fileText(), before);

    fix->wrongField()->setText("cubernetes");
    EXPECT_FALSE(fix->noMatchLabel()->isVisibleTo(fix)) << "a new word clears the message";
    fix->rightField()->setText("Kubernetes");
    fix->fixButton()->click();
    settle();
    EXPECT_FALSE(shown(window->fixWordPopover()));
    EXPECT_EQ(manager->live().record.get()->wordFixes, 3);
    EXPECT_FALSE(contains(row(0).text.toStdString() + row(1).text.toStdString(), "cubernetes"));
    EXPECT_EQ(fileText(), expectedText());
}

TEST_F(LiveTranscriptTest, SpeakersSheetMergesAssignsAndSetsTheRoster) {
    defaults.set(Key::myName, "Ada Lovelace");
    open();
    manager->live().setRoster({"Ann Bell", "Ada Lovelace"});
    say(2, "Ann talks at length.", 6);
    say(2, "And goes on.", 6);
    say(2, "And on.", 6);
    window->findChild<QPushButton*>("speakersButton")->click();
    settle();
    auto* sheet = window->speakersSheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(sheet->isModal() || sheet->windowModality() != Qt::NonModal);
    EXPECT_EQ(sheet->peopleField()->text(), "Ann Bell, Ada Lovelace");
    auto* only = sheet->findChild<QWidget*>("speaker2");
    ASSERT_NE(only, nullptr);
    EXPECT_EQ(only->findChild<QLabel*>("speakerName")->text(), "Ann Bell");
    EXPECT_EQ(only->findChild<QLabel*>("lineCount")->text(), "3 lines");
    EXPECT_NE(only->findChild<QLabel*>("matchNote"), nullptr);
    EXPECT_FALSE(only->findChild<QToolButton*>("mergeInto")->isEnabled()) << "no one to merge into";

    say(1, "A second voice.");
    manager->live().rename(1, "Bo");
    settle();
    EXPECT_EQ(sheet->findChild<QWidget*>("speaker2")->findChild<QLabel*>("matchNote"), nullptr)
        << "two voices prove nothing";
    auto* second = sheet->findChild<QWidget*>("speaker1");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->findChild<QLabel*>("lineCount")->text(), "1 line");

    auto* merge = sheet->findChild<QWidget*>("speaker2")->findChild<QToolButton*>("mergeInto");
    action(*merge->menu(), "Bo")->trigger();
    settle();
    EXPECT_EQ(sheet->findChild<QWidget*>("speaker2"), nullptr);
    for (int i = 0; i < rows(); ++i) {
        EXPECT_EQ(row(i).name, "Bo");
        EXPECT_EQ(row(i).speaker, 1) << "so the colour is Bo's too";
    }
    EXPECT_EQ(fileText(), expectedText());

    auto menu = window->lineMenu(0);
    auto* assign = menu->findChild<QMenu*>("assignLineTo");
    ASSERT_NE(assign, nullptr);
    action(*assign, "New Speaker")->trigger();
    settle();
    EXPECT_EQ(row(0).speaker, 500);
    EXPECT_EQ(row(0).name, "Speaker 1 (added)");
    EXPECT_NE(sheet->findChild<QWidget*>("speaker500"), nullptr);

    sheet->peopleField()->setText(" Kim Lee, ,Ann Bell,  ");
    sheet->findChild<QPushButton*>("speakersDone")->click();
    settle();
    EXPECT_EQ(manager->live().roster.get(), (std::vector<std::string>{"Kim Lee", "Ann Bell"}));
    EXPECT_FALSE(shown(window->speakersSheet()));
}

TEST_F(LiveTranscriptTest, NamesAreShownAsTheyWereTypedNeverAsMarkupOrShortcuts) {
    open();
    say(1, "First voice.");
    say(2, "Second voice.");
    manager->live().rename(1, "<h1>R&D</h1>");
    manager->live().rename(2, "<font color=red>Eve</font>");
    settle();

    ui::RenamePopover popover(manager->live(), 1, window);
    auto* title = popover.findChild<QLabel*>("renameTitle");
    EXPECT_EQ(title->textFormat(), Qt::PlainText);
    EXPECT_EQ(title->text(), "Rename <h1>R&D</h1>");

    window->findChild<QPushButton*>("speakersButton")->click();
    settle();
    auto* sheet = window->speakersSheet();
    ASSERT_NE(sheet, nullptr);
    auto* eve = sheet->findChild<QWidget*>("speaker2");
    ASSERT_NE(eve, nullptr);
    EXPECT_EQ(eve->findChild<QLabel*>("speakerName")->textFormat(), Qt::PlainText);
    // "&&" shows as one ampersand, with no letter underlined.
    EXPECT_NE(action(*eve->findChild<QToolButton*>("mergeInto")->menu(), "<h1>R&&D</h1>"), nullptr);
    auto menu = window->lineMenu(1);
    EXPECT_NE(action(*menu->findChild<QMenu*>("assignLineTo"), "<h1>R&&D</h1>"), nullptr);
}

} // namespace
} // namespace tallyvox::testing

#include "UiHarness.h"

#include "ui/PastSearchWindow.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

#include <fstream>

namespace tallyvox::testing {
namespace {

using ui::PastSearchWindow;
using State = PastSearchWindow::State;

class PastSearchWindowTest : public UiHarness {
protected:
    std::filesystem::path root = dir / "Documents/Tallyvox";

    void writeTranscript(const std::string& name, const std::string& text) {
        const auto file = root / "2026/December/06-12-26" / name;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    PastSearchWindow* window() { return static_cast<PastSearchWindow*>(app->pastSearchWindow()); }
    // Types a query and waits for the quarter-second pause and the search behind it.
    bool search(const QString& query, State expected) {
        window()->searchField()->setText(query);
        return QTest::qWaitFor([&] { return window()->state() == expected; }, 5000);
    }
    QString summary() { return window()->findChild<QLabel*>("pastSearchSummary")->text(); }
};

TEST_F(PastSearchWindowTest, TypingSearchesAfterAPauseAndEachStateHasItsPanel) {
    writeTranscript("Zoom_Meeting_14-05.txt", "Meeting: Budget review\nDate: 6 December 2026\n\n"
                                              "[00:00:04] Sam:\nThe budget is ready.\n\n"
                                              "[00:00:09] Asha:\nSam, the budget <b>again</b>.\n");
    writeTranscript("Zoom_Meeting_14-05.diagnostics.txt", "[00:00:04] Sam:\nbudget\n");
    launchApp();
    app->showPastSearch();
    ASSERT_NE(window(), nullptr);
    EXPECT_EQ(window()->windowTitle(), "Past Transcripts");
    EXPECT_EQ(window()->size(), QSize(620, 520));
    EXPECT_EQ(window()->minimumSize(), QSize(420, 300));
    EXPECT_EQ(window()->searchField()->placeholderText(), "Name or words");
    EXPECT_EQ(window()->state(), State::start);
    EXPECT_EQ(window()->findChild<QLabel*>("pastSearchStartText")->text(),
              "Type a name and words, like “sam budget”. Only this computer is searched.");

    window()->searchField()->setText("sam budget");
    EXPECT_EQ(window()->state(), State::searching) << "nothing is read while typing";
    ASSERT_TRUE(QTest::qWaitFor([&] { return window()->state() == State::hits; }, 5000));
    settle();
    ASSERT_EQ(window()->hits().size(), 2u);
    EXPECT_EQ(summary(), "2 matches");

    auto rows = window()->findChildren<ui::PastHitButton*>("pastHit");
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0]->toolTip(), "Open this transcript");
    EXPECT_EQ(rows[0]->findChild<QLabel*>("pastHitMeta")->text(),
              "Budget review · 6 December 2026 · 00:00:04");
    EXPECT_EQ(rows[1]->findChild<QLabel*>("pastHitSpeaker")->text(), "Asha");
    EXPECT_FALSE(rows[0]->accessibleName().isEmpty());
    EXPECT_EQ(rows[1]->focusPolicy() & Qt::TabFocus, Qt::TabFocus);
    // Words from the file are text, never markup.
    EXPECT_TRUE(rows[1]->findChild<QLabel*>("pastHitText")->text().contains("&lt;b&gt;again"));
    QTest::mouseClick(rows[1], Qt::LeftButton);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], root / "2026/December/06-12-26/Zoom_Meeting_14-05.txt");

    ASSERT_TRUE(search("zebra", State::noHits));
    EXPECT_EQ(summary(), "");
    EXPECT_TRUE(window()->findChildren<ui::PastHitButton*>("pastHit").isEmpty());
    EXPECT_EQ(window()->findChild<QLabel*>("pastSearchNoHitsTitle")->text(),
              "No Results for “zebra”");

    ASSERT_TRUE(search("asha", State::hits));
    EXPECT_EQ(summary(), "1 match");
    window()->searchField()->setText("   ");
    EXPECT_EQ(window()->state(), State::start) << "only spaces: the start panel at once";
    EXPECT_EQ(summary(), "");
    QTest::qWait(PastSearchWindow::debounceMs + 100);
    EXPECT_EQ(window()->state(), State::start) << "the earlier search never comes back";
}

TEST_F(PastSearchWindowTest, AQueryChangedBeforeItsResultsArriveShowsOnlyTheNewestOnes) {
    std::string many = "Meeting: Long\n";
    for (int i = 0; i < 250; ++i)
        many += "\n[00:00:10] Sam:\nbudget line\n";
    writeTranscript("Zoom_Meeting_09-00.txt", many);
    launchApp();
    app->showPastSearch();
    ASSERT_TRUE(search("budget", State::hits));
    EXPECT_EQ(window()->hits().size(), 200u);
    EXPECT_EQ(summary(), "First 200 matches");

    window()->searchField()->setText("budget lin");
    window()->searchField()->setText("budget line nothing");
    ASSERT_TRUE(QTest::qWaitFor([&] { return window()->state() == State::noHits; }, 5000));
    QTest::qWait(PastSearchWindow::debounceMs + 100);
    EXPECT_EQ(window()->state(), State::noHits);
    EXPECT_TRUE(window()->hits().empty());

    // Ctrl+F finds the field again; closing drops everything.
    window()->findChild<QAction*>("findAction")->trigger();
    window()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(app->pastSearchWindow(), nullptr);
}

TEST_F(PastSearchWindowTest, ARecordedMeetingIsFoundAndOpened) {
    launchApp();
    manager->start(zoom, confirmed(zoom));
    settle();
    speak("We ship the Straße budget on Friday.");
    manager->stop();
    settle();
    const auto file = manager->live().record.get()->filePath;
    app->showPastSearch();
    ASSERT_TRUE(search("STRASSE friday", State::hits));
    settle();
    ASSERT_EQ(window()->hits().size(), 1u);
    EXPECT_EQ(window()->hits()[0].file, file);
    QTest::keyClick(window()->findChild<ui::PastHitButton*>("pastHit"), Qt::Key_Space);
    EXPECT_EQ(opened, std::vector<std::filesystem::path>{file});
    EXPECT_FALSE(manager->lastError.get());

    openFails = "no application is set to open it";
    QTest::keyClick(window()->findChild<ui::PastHitButton*>("pastHit"), Qt::Key_Space);
    EXPECT_EQ(manager->lastError.get(),
              "Couldn't open " + file.filename().string() + ": no application is set to open it")
        << "the panel's problem notice says it";
}

TEST(PastSearchHighlight, TermsAreBoldOnLightYellowAndTheRestIsEscaped) {
    const QString html = ui::highlightedHtml("Die Straße & STRASSE", {"strasse"});
    QTextDocument document;
    document.setHtml(html);
    EXPECT_EQ(document.toPlainText(), "Die Straße & STRASSE");
    int marked = 0;
    for (auto it = document.begin().begin(); !it.atEnd(); ++it) {
        const auto fragment = it.fragment();
        const auto format = fragment.charFormat();
        if (fragment.text() == "Straße" || fragment.text() == "STRASSE") {
            ++marked;
            EXPECT_GE(format.fontWeight(), QFont::Bold);
            const QColor background = format.background().color();
            EXPECT_EQ(background.rgb(), QColor(Qt::yellow).rgb());
            EXPECT_NEAR(background.alphaF(), 0.35, 0.01);
        } else {
            EXPECT_LT(format.fontWeight(), QFont::Bold) << fragment.text().toStdString();
        }
    }
    EXPECT_EQ(marked, 2);
}

} // namespace
} // namespace tallyvox::testing

// How the panel looks and moves: notices, placement by the tray, focus and captions.
#include "PanelHarness.h"

namespace tallyvox::testing {
namespace {

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

} // namespace
} // namespace tallyvox::testing

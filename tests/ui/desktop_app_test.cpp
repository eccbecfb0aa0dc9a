#include "UiHarness.h"

#include "ui/MenuBarPanel.h"
#include "ui/PanelHost.h"
#include "ui/QtExecutor.h"
#include "ui/TrayIcons.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QMenu>
#include <QTimer>

#include <thread>

namespace tallyvox::testing {
namespace {

TEST(QtExecutor, RunsTasksInOrderFromAnyThreadAndDelayedOnesNotEarly) {
    std::vector<int> order;
    QEventLoop loop;
    QElapsedTimer clock;
    qint64 delayedAt = -1;
    {
        ui::QtExecutor executor;
        clock.start();
        executor.postAfter(std::chrono::milliseconds(30), [&] {
            delayedAt = clock.elapsed();
            loop.quit();
        });
        std::thread([&] {
            for (int i = 0; i < 100; ++i)
                executor.post([&order, i] { order.push_back(i); });
        }).join();
        executor.post([] { throw std::runtime_error("a task that fails"); });
        QTimer::singleShot(2000, &loop, &QEventLoop::quit);
        loop.exec();
        ASSERT_EQ(order.size(), 100u) << "a throwing task stops nothing";
        EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
        EXPECT_GE(delayedAt, 30);
        executor.postAfter(std::chrono::milliseconds(1), [&] { order.push_back(-1); });
    }
    QTimer::singleShot(20, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_EQ(order.back(), 99) << "tasks of an executor that is gone never run";
}

TEST(TrayIcons, EachStateHasItsIconAndSpokenName) {
    using ui::TrayState;
    EXPECT_EQ(ui::trayState(true, true), TrayState::transcribing);
    EXPECT_EQ(ui::trayState(false, true), TrayState::detected);
    EXPECT_EQ(ui::trayAccessibleName(TrayState::transcribing), "Tallyvox: transcribing");
    EXPECT_EQ(ui::trayAccessibleName(TrayState::detected), "Tallyvox: meeting detected");
    EXPECT_EQ(ui::trayAccessibleName(TrayState::idle), "Tallyvox");
    for (auto state : {TrayState::idle, TrayState::detected, TrayState::transcribing})
        for (bool dark : {false, true})
            EXPECT_FALSE(ui::trayIcon(state, dark).pixmap(22, 22).isNull());
}

class DesktopAppTest : public UiHarness {};

TEST_F(DesktopAppTest, QuitWaitsForTheTranscriptOnlyWhenOneIsOpen) {
    launchApp();
    app->quit();
    EXPECT_EQ(terminated, 1) << "idle: at once";

    launchApp();
    manager->start(zoom, confirmed(zoom));
    settle();
    speak("Keep this line.");
    app->quit();
    app->quit();
    EXPECT_EQ(terminated, 1) << "waits for the finish";
    settle();
    EXPECT_EQ(terminated, 2) << "once, after the files are written";
    EXPECT_TRUE(contains(fileText(), "Keep this line."));
    EXPECT_TRUE(std::filesystem::exists(diagnosticsFile()));
    EXPECT_TRUE(log.contains("Transcription stopped: app quitting"));
}

TEST_F(DesktopAppTest, EachWindowOpensOnceAndWithoutATrayThePanelIsAWindowThatExplainsOnce) {
    launchApp(false);
    ASSERT_NE(app->panelHost(), nullptr);
    EXPECT_EQ(app->panelHost()->mode(), ui::PanelHost::Mode::window);
    EXPECT_TRUE(app->panelHost()->isVisible());
    EXPECT_NE(app->panelHost()->findChild<QWidget*>("noTrayNote"), nullptr);
    app->showLiveTranscript();
    QWidget* live = app->liveTranscriptWindow();
    app->showLiveTranscript();
    EXPECT_EQ(app->liveTranscriptWindow(), live);
    app->showSettings();
    EXPECT_NE(app->settingsWindow(), nullptr);

    app.reset();
    launchApp(false);
    EXPECT_EQ(app->panelHost()->findChild<QWidget*>("noTrayNote"), nullptr) << "said once";
}

TEST_F(DesktopAppTest, TrayMenuAndPanelOfferTheLiveTranscriptAlike) {
    launchApp();
    auto offers = [this] {
        QAction* item = nullptr;
        for (auto* action : app->trayMenu()->actions())
            if (action->text() == "Show Live Transcript")
                item = action;
        auto* panel = app->panelHost()->panel();
        auto* row = panel->findChild<QWidget*>("showLiveTranscriptButton");
        EXPECT_TRUE(item && row);
        const bool inMenu = item && item->isVisible();
        EXPECT_EQ(inMenu, row && row->isVisibleTo(panel)) << "the menu and the panel disagree";
        return inMenu;
    };
    EXPECT_FALSE(offers()) << "no session and no line";
    manager->start(zoom, confirmed(zoom));
    settle();
    EXPECT_TRUE(offers());
    speak("Still here after the meeting.");
    manager->stop();
    settle();
    EXPECT_TRUE(offers()) << "the last meeting's lines to read";
}

} // namespace
} // namespace tallyvox::testing

#pragma once

#include "SessionHarness.h"
#include "ui/DesktopApp.h"

#include <QCoreApplication>

#include <memory>

namespace tallyvox::testing {

// The session harness with the desktop app on top: a real manager on the virtual clock, the
// views on the offscreen platform. `settle()` runs what the manager and the views queued.
class UiHarness : public SessionHarness {
protected:
    void launchApp(bool useTray = false) {
        launch();
        ui::DesktopApp::Options options;
        options.useTray = useTray;
        options.terminate = [this] { ++terminated; };
        options.reduceMotion = [this] { return reduceMotion; };
        options.openFile = [this](const std::filesystem::path& f) {
            opened.push_back(f);
            return openFails;
        };
        options.revealFile = [this](const std::filesystem::path& f) {
            revealed.push_back(f);
            return revealFails;
        };
        app = std::make_unique<ui::DesktopApp>(manager, stores, clock, options);
        app->start();
        settle();
    }
    void settle() {
        for (int i = 0; i < 3; ++i) {
            executor.runUntilIdle();
            QCoreApplication::processEvents();
        }
    }
    ~UiHarness() override { app.reset(); }

    std::unique_ptr<ui::DesktopApp> app;
    int terminated = 0;
    // The live transcript jumps to new lines, so tests read where it ends at once.
    bool reduceMotion = true;
    std::vector<std::filesystem::path> opened, revealed;
    // Why the desktop opened or showed nothing; none: it did.
    std::optional<std::string> openFails, revealFails;
};

} // namespace tallyvox::testing

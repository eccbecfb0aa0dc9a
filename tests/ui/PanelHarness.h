#pragma once

#include "UiHarness.h"

#include "fakes/LockedFolder.h"
#include "session/UnsavedTranscripts.h"
#include "settings/AppInfo.h"
#include "ui/MenuBarPanel.h"
#include "ui/PanelCompleted.h"
#include "ui/PanelHost.h"
#include "ui/PanelMarks.h"
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

namespace Key = SettingsManager::Key;
namespace fs = std::filesystem;

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

} // namespace tallyvox::testing

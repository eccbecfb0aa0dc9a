#pragma once

#include "ui/ManagerWatch.h"
#include "ui/PanelHost.h"
#include "ui/UiContext.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace tallyvox::ui {

// The desktop app around the one session manager: the tray item and its panel, the windows
// (one of each), and quitting, which waits for a transcript that is being finished.
class DesktopApp : public QObject {
    Q_OBJECT
public:
    struct Options {
        // False: the desktop has no tray, the panel is an ordinary window.
        bool useTray = true;
        // Ends the process once quitting may go ahead.
        std::function<void()> terminate;
        std::function<std::optional<std::string>(const std::filesystem::path&)> openFile;
        std::function<std::optional<std::string>(const std::filesystem::path&)> revealFile;
        std::function<void(const std::string&)> openSystemSettings;
        std::function<bool()> reduceMotion;
    };

    DesktopApp(std::shared_ptr<AppLifecycleManager> manager, SettingsStores stores, Clock& clock,
               Options options);
    ~DesktopApp() override;

    UiContext& context() { return context_; }
    // Shows the tray item, or the panel window where there is no tray.
    void start();
    void showPanel();
    void showLiveTranscript();
    void showPastSearch();
    void showSettings();
    // Immediate when idle; otherwise the session is stopped ("app quitting") and the process
    // ends once its transcript and diagnostics are written.
    void quit();
    bool isQuitting() const { return quitting_; }

    PanelHost* panelHost() const { return panelHost_; }
    QSystemTrayIcon* tray() const { return tray_; }
    // The tray icon's menu; made also where there is no tray, though nothing shows it there.
    QMenu* trayMenu() const { return trayMenu_.get(); }
    QWidget* liveTranscriptWindow() const { return liveTranscript_; }
    QWidget* settingsWindow() const { return settings_; }
    QWidget* pastSearchWindow() const { return pastSearch_; }

private:
    void refreshTray();

    UiContext context_;
    Options options_;
    QPointer<PanelHost> panelHost_;
    QSystemTrayIcon* tray_ = nullptr;
    std::unique_ptr<QMenu> trayMenu_;
    QAction* showLiveAction_ = nullptr;
    QPointer<QWidget> liveTranscript_;
    QPointer<QWidget> settings_;
    QPointer<QWidget> pastSearch_;
    std::unique_ptr<ManagerWatch> watch_;
    bool quitting_ = false;
};

} // namespace tallyvox::ui

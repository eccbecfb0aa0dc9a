#include "ui/DesktopApp.h"

#include "base/Log.h"
#include "ui/LiveTranscriptWindow.h"
#include "ui/PanelHost.h"
#include "ui/PanelStatus.h"
#include "ui/PastSearchWindow.h"
#include "ui/SettingsWindow.h"
#include "ui/TrayIcons.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>

namespace tallyvox::ui {

DesktopApp::DesktopApp(std::shared_ptr<AppLifecycleManager> manager, SettingsStores stores,
                       Clock& clock, Options options)
    : context_{std::move(manager), stores, clock, {}}
    , options_(std::move(options)) {
    if (!options_.terminate)
        options_.terminate = [] { QCoreApplication::quit(); };
    auto& actions = context_.actions;
    actions.showLiveTranscript = [this] { showLiveTranscript(); };
    actions.showPastSearch = [this] { showPastSearch(); };
    actions.showSettings = [this] { showSettings(); };
    actions.quit = [this] { quit(); };
    actions.openFile = options_.openFile;
    actions.revealFile = options_.revealFile;
    actions.openSystemSettings = options_.openSystemSettings;
    actions.reduceMotion = options_.reduceMotion;
}

DesktopApp::~DesktopApp() {
    // Windows first: they watch the manager this object shares.
    delete liveTranscript_.data();
    delete settings_.data();
    delete pastSearch_.data();
    delete panelHost_.data();
    delete tray_;
}

void DesktopApp::start() {
    const bool tray = options_.useTray && QSystemTrayIcon::isSystemTrayAvailable();
    const bool wayland = QGuiApplication::platformName().startsWith(QStringLiteral("wayland"));
    panelHost_ = new PanelHost(context_, !tray     ? PanelHost::Mode::window
                                         : wayland ? PanelHost::Mode::trayWindow
                                                   : PanelHost::Mode::popup);
    // Trays that only show a menu (and never report a click) still reach everything.
    trayMenu_ = std::make_unique<QMenu>();
    trayMenu_->setObjectName(QStringLiteral("trayMenu"));
    trayMenu_->addAction(QStringLiteral("Open Tallyvox"), [this] { showPanel(); });
    showLiveAction_ = trayMenu_->addAction(QStringLiteral("Show Live Transcript"),
                                           [this] { showLiveTranscript(); });
    trayMenu_->addAction(QStringLiteral("Search Past Transcripts…"), [this] { showPastSearch(); });
    trayMenu_->addAction(QStringLiteral("Settings…"), [this] { showSettings(); });
    trayMenu_->addSeparator();
    trayMenu_->addAction(QStringLiteral("Quit Tallyvox"), [this] { quit(); });
    watch_ = std::make_unique<ManagerWatch>(this, *context_.manager, [this] { refreshTray(); });
    refreshTray();
    if (!tray) {
        Log::info("No system tray: the panel is shown as a window");
        showPanel();
        return;
    }
    tray_ = new QSystemTrayIcon(this);
    tray_->setContextMenu(trayMenu_.get());
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason why) {
                if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick)
                    panelHost_->toggleNear(tray_->geometry());
            });
    refreshTray();
    tray_->show();
}

void DesktopApp::refreshTray() {
    showLiveAction_->setVisible(panel::offersLiveTranscript(*context_.manager));
    if (!tray_)
        return;
    const auto state = trayState(context_.manager->session.get().has_value(),
                                 !context_.manager->detection().meetings.get().empty());
    tray_->setIcon(trayIcon(state, paletteIsDark()));
    tray_->setToolTip(trayAccessibleName(state));
}

void DesktopApp::showPanel() {
    if (!panelHost_)
        return;
    panelHost_->showNear(tray_ ? tray_->geometry() : QRect());
}

namespace {

// One window of each kind: made on first use, brought forward after that, gone when closed.
template <class Window> void showOnce(QPointer<QWidget>& window, UiContext& context) {
    if (!window) {
        window = new Window(context);
        window->setAttribute(Qt::WA_DeleteOnClose);
    }
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace

void DesktopApp::showLiveTranscript() {
    showOnce<LiveTranscriptWindow>(liveTranscript_, context_);
}

void DesktopApp::showSettings() {
    showOnce<SettingsWindow>(settings_, context_);
}

void DesktopApp::showPastSearch() {
    showOnce<PastSearchWindow>(pastSearch_, context_);
}

void DesktopApp::quit() {
    if (quitting_)
        return;
    quitting_ = true;
    auto& manager = *context_.manager;
    if (!manager.session.get() && !manager.finishing.get()) {
        options_.terminate();
        return;
    }
    // No time limit: the transcript on disk matters more than a prompt exit.
    manager.finishForQuit([terminate = options_.terminate] { terminate(); });
}

} // namespace tallyvox::ui

#pragma once

#include "ui/UiContext.h"

#include <QPointer>
#include <QRect>
#include <QWidget>

class QLabel;

namespace tallyvox::ui {

class MenuBarPanel;

// Holds the panel: a frameless popup beside the tray icon that hides when it loses focus,
// or, where the desktop has no tray, a small ordinary window that says once why it is there
// and how to get a tray icon. Under Wayland a client cannot place a window of its own beside
// the tray icon, so the tray opens the panel as an ordinary window there.
class PanelHost : public QWidget {
    Q_OBJECT
public:
    enum class Mode { popup, window, trayWindow };
    PanelHost(UiContext& context, Mode mode, QWidget* parent = nullptr);

    Mode mode() const { return mode_; }
    MenuBarPanel* panel() const { return panel_; }
    // `anchor`: the tray icon's place on screen, when the desktop tells it.
    void showNear(const QRect& anchor);
    void toggleNear(const QRect& anchor);

protected:
    bool event(QEvent* event) override;

private:
    UiContext& context_;
    Mode mode_;
    MenuBarPanel* panel_ = nullptr;
    QLabel* noTrayNote_ = nullptr;
};

} // namespace tallyvox::ui

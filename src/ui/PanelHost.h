#pragma once

#include "ui/UiContext.h"

#include <QPointer>
#include <QRect>
#include <QWidget>

class QLabel;
class QScrollArea;

namespace tallyvox::ui {

class MenuBarPanel;

// Where the popup goes: beside `anchor` (the tray icon; when it is unknown, `pointer`), on the
// side of it that faces the middle of `free`, and wholly inside `free`. The edge next to the
// icon stays put whatever the height, so a growing panel grows away from the tray; one taller
// than the room on that side is cut to the room (and scrolls).
QRect panelPlace(const QRect& anchor, const QPoint& pointer, const QSize& wanted,
                 const QRect& free);

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

    // Whether the popup is cut to the screen and its content scrolls.
    bool isScrolling() const;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Sizes the popup to its content and places it again beside the tray icon.
    void fit();

    UiContext& context_;
    Mode mode_;
    MenuBarPanel* panel_ = nullptr;
    QLabel* noTrayNote_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    // Where the popup was last opened from: every later size change keeps to it.
    QRect anchor_;
    QPoint pointer_;
    bool placed_ = false;
    bool fitPending_ = false;
};

} // namespace tallyvox::ui

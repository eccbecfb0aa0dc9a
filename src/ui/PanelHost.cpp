#include "ui/PanelHost.h"

#include "base/Log.h"
#include "ui/MenuBarPanel.h"
#include "ui/TrayIcons.h"

#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

namespace tallyvox::ui {

namespace {

constexpr std::string_view noTrayExplainedKey = "noTrayExplained";

} // namespace

PanelHost::PanelHost(UiContext& context, Mode mode, QWidget* parent)
    : QWidget(parent)
    , context_(context)
    , mode_(mode) {
    setObjectName(QStringLiteral("panelHost"));
    setWindowTitle(QStringLiteral("Tallyvox"));
    setWindowIcon(appIcon());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    if (mode_ == Mode::popup) {
        setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    } else if (mode_ == Mode::window && !context_.stores.defaults.boolValue(noTrayExplainedKey)) {
        // Said once: later launches know where the panel lives.
        noTrayNote_ = new QLabel(
            QStringLiteral("This desktop shows no tray icons, so Tallyvox shows its panel in "
                           "this window. Closing it keeps Tallyvox running; start Tallyvox "
                           "again to bring the window back. For a tray icon on GNOME, install "
                           "and turn on the AppIndicator extension (the package "
                           "gnome-shell-extension-appindicator), then log in again."),
            this);
        noTrayNote_->setObjectName(QStringLiteral("noTrayNote"));
        noTrayNote_->setWordWrap(true);
        noTrayNote_->setContentsMargins(12, 12, 12, 0);
        layout->addWidget(noTrayNote_);
        context_.stores.defaults.set(noTrayExplainedKey, PlistValue(true));
    }
    panel_ = new MenuBarPanel(context_, this);
    layout->addWidget(panel_);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void PanelHost::showNear(const QRect& anchor) {
    // Said so that a desktop where nothing seems to happen can be told from one where the
    // panel opened out of sight.
    if (!isVisible())
        Log::info("Panel shown");
    if (mode_ != Mode::popup) {
        show();
        raise();
        activateWindow();
        return;
    }
    adjustSize();
    const QPoint at = anchor.isValid() ? anchor.center() : QCursor::pos();
    QScreen* screen = QGuiApplication::screenAt(at);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    QRect place(QPoint(at.x() - width() / 2, anchor.isValid() ? anchor.bottom() + 4 : at.y()),
                size());
    if (screen) {
        const QRect free = screen->availableGeometry();
        // A tray at the bottom of the screen: open upwards.
        if (place.bottom() > free.bottom())
            place.moveBottom((anchor.isValid() ? anchor.top() : at.y()) - 4);
        place.moveLeft(
            std::clamp(place.left(), free.left(), std::max(free.left(), free.right() - width())));
        place.moveTop(
            std::clamp(place.top(), free.top(), std::max(free.top(), free.bottom() - height())));
    }
    move(place.topLeft());
    show();
    raise();
    activateWindow();
}

void PanelHost::toggleNear(const QRect& anchor) {
    if (isVisible() && mode_ == Mode::popup)
        hide();
    else
        showNear(anchor);
}

bool PanelHost::event(QEvent* event) {
    // A popup goes away when the user turns to something else, like a menu would.
    if (mode_ == Mode::popup && event->type() == QEvent::WindowDeactivate)
        hide();
    return QWidget::event(event);
}

} // namespace tallyvox::ui

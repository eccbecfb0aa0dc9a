#include "ui/PanelHost.h"

#include "base/Log.h"
#include "ui/MenuBarPanel.h"
#include "ui/TrayIcons.h"

#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

namespace tallyvox::ui {

namespace {

// Between the tray icon and the popup.
constexpr int gap = 4;

QRect freeArea(const QPoint& at) {
    QScreen* screen = QGuiApplication::screenAt(at);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

} // namespace

QRect panelPlace(const QRect& anchor, const QPoint& pointer, const QSize& wanted,
                 const QRect& free) {
    const QPoint at = anchor.isValid() ? anchor.center() : pointer;
    const int width = wanted.width();
    if (!free.isValid())
        return {at.x() - width / 2, anchor.isValid() ? anchor.bottom() + gap : at.y(), width,
                wanted.height()};
    // A tray at the bottom of the screen opens upwards; the side is chosen by where the icon
    // is, not by the height, so it stays the same while the panel grows.
    const bool upwards = at.y() > free.center().y();
    const int near = !anchor.isValid() ? at.y()
                     : upwards         ? anchor.top() - gap
                                       : anchor.bottom() + gap;
    int top = 0;
    int height = 0;
    if (upwards) {
        const int bottom = std::clamp(near, free.top(), free.bottom());
        height = std::min(wanted.height(), bottom - free.top() + 1);
        top = bottom - height + 1;
    } else {
        top = std::clamp(near, free.top(), free.bottom());
        height = std::min(wanted.height(), free.bottom() - top + 1);
    }
    const int left = std::clamp(at.x() - width / 2, free.left(),
                                std::max(free.left(), free.right() - width + 1));
    return {left, top, width, height};
}

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
    } else if (mode_ == Mode::window &&
               !context_.stores.defaults.boolValue(SettingsManager::Key::noTrayExplained)) {
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
        context_.stores.defaults.set(SettingsManager::Key::noTrayExplained, PlistValue(true));
    }
    panel_ = new MenuBarPanel(context_, this);
    if (mode_ == Mode::popup) {
        // The popup is sized here, to its content but never past the screen: what does not
        // fit scrolls.
        scroll_ = new QScrollArea(this);
        scroll_->setObjectName(QStringLiteral("panelScroll"));
        scroll_->setFrameShape(QFrame::NoFrame);
        scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        scroll_->setWidgetResizable(true);
        scroll_->setWidget(panel_);
        layout->addWidget(scroll_);
        panel_->installEventFilter(this);
        fit();
    } else {
        layout->addWidget(panel_);
        layout->setSizeConstraint(QLayout::SetFixedSize);
    }
}

bool PanelHost::isScrolling() const {
    return scroll_ && scroll_->verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn;
}

void PanelHost::fit() {
    fitPending_ = false;
    if (!scroll_)
        return;
    const int width = panel_->width();
    const int wanted =
        panel_->hasHeightForWidth() ? panel_->heightForWidth(width) : panel_->sizeHint().height();
    if (!placed_) {
        setFixedSize(width, wanted);
        return;
    }
    const QRect free = freeArea(anchor_.isValid() ? anchor_.center() : pointer_);
    QRect place = panelPlace(anchor_, pointer_, QSize(width, wanted), free);
    const bool cut = place.height() < wanted;
    if (cut) {
        const int bar =
            style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroll_->verticalScrollBar());
        place = panelPlace(anchor_, pointer_, QSize(width + bar, wanted), free);
    }
    scroll_->setVerticalScrollBarPolicy(cut ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    setFixedSize(place.size());
    move(place.topLeft());
}

bool PanelHost::eventFilter(QObject* watched, QEvent* event) {
    // Rows come and go and lines wrap anew while the popup is open; it is fitted again once
    // the panel's layout has settled.
    if (watched == panel_ && event->type() == QEvent::LayoutRequest && !fitPending_) {
        fitPending_ = true;
        QMetaObject::invokeMethod(
            this, [this] { fit(); }, Qt::QueuedConnection);
    }
    return QWidget::eventFilter(watched, event);
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
    anchor_ = anchor;
    pointer_ = QCursor::pos();
    placed_ = true;
    fit();
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

#include "ui/PanelRows.h"

#include <QApplication>
#include <QCheckBox>
#include <QEnterEvent>
#include <QFocusEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QStyleOptionToolButton>
#include <QStylePainter>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace tallyvox::ui {

QIcon themedIcon(const char* name, QStyle::StandardPixmap fallback) {
    return QIcon::fromTheme(QLatin1String(name), QApplication::style()->standardIcon(fallback));
}

QColor panelRed() {
    return QColor(0xd9, 0x30, 0x25);
}

QColor panelOrange() {
    return QColor(0xd9, 0x74, 0x06);
}

QColor readableSecondary(const QPalette& palette) {
    // The app palette's own rule, so a caption reads the same wherever it is painted.
    return withReadableCaptions(palette).color(QPalette::PlaceholderText);
}

QColor secondaryColor(const QWidget* widget) {
    return readableSecondary(widget->palette());
}

void makeSecondary(QWidget* widget) {
    setTextColor(widget, secondaryColor(widget));
}

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

QLabel* headline(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    label->setWordWrap(true);
    return label;
}

QLabel* caption(const QString& text, QWidget* parent, bool secondary, double scale) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * scale);
    label->setFont(font);
    label->setWordWrap(true);
    if (secondary)
        setTextColor(label, secondaryColor(label));
    return label;
}

QFrame* divider(QWidget* parent, const QString& name) {
    auto* line = new QFrame(parent);
    line->setObjectName(name);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

// MARK: RowButton

namespace {

// Whether the last thing the user did here was a key press. Qt gives a window's first focus
// with the same reason as Tab does, so the reason alone cannot tell them apart.
class InputWatch : public QObject {
public:
    bool keys = false;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
        case QEvent::KeyPress:
            keys = true;
            break;
        case QEvent::MouseButtonPress:
        case QEvent::WindowActivate:
            keys = false;
            break;
        default:
            break;
        }
        return false;
    }
};

InputWatch& inputWatch() {
    static InputWatch* watch = [] {
        auto* made = new InputWatch;
        made->setParent(QCoreApplication::instance());
        QCoreApplication::instance()->installEventFilter(made);
        return made;
    }();
    return *watch;
}

} // namespace

RowButton::RowButton(const QIcon& icon, const QString& text, QWidget* parent)
    : QAbstractButton(parent) {
    setIcon(icon);
    setText(text);
    setAccessibleName(text);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    // A click must not leave the row lit as if the pointer were still on it.
    setFocusPolicy(Qt::TabFocus);
    inputWatch();
    setAttribute(Qt::WA_Hover);
}

QSize RowButton::sizeHint() const {
    const QFontMetrics metrics = fontMetrics();
    int width = 12 + metrics.horizontalAdvance(text());
    if (!icon().isNull())
        width += iconSize().width() + 6;
    if (!shortcut().isEmpty())
        width += 12 + metrics.horizontalAdvance(shortcut().toString(QKeySequence::NativeText));
    return {width, std::max(24, metrics.height() + 8)};
}

void RowButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool lit = isEnabled() && (hovering_ || isDown());
    QColor text =
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText);
    QColor shortcutColor = secondaryColor(this);
    if (lit) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(palette().color(QPalette::Highlight));
        painter.drawRoundedRect(rect(), 5, 5);
        text = shortcutColor = palette().color(QPalette::HighlightedText);
    } else if (showsFocusRing()) {
        painter.setPen(QPen(palette().color(QPalette::Highlight), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75), 5, 5);
    }
    int left = 6;
    int right = width() - 6;
    if (!icon().isNull()) {
        const QSize size = iconSize();
        icon().paint(&painter, QRect(QPoint(left, (height() - size.height()) / 2), size),
                     Qt::AlignCenter,
                     !isEnabled() ? QIcon::Disabled
                     : lit        ? QIcon::Selected
                                  : QIcon::Normal);
        left += size.width() + 6;
    }
    const QFontMetrics metrics = fontMetrics();
    if (!shortcut().isEmpty()) {
        const QString keys = shortcut().toString(QKeySequence::NativeText);
        painter.setPen(shortcutColor);
        painter.drawText(QRect(left, 0, right - left, height()), Qt::AlignVCenter | Qt::AlignRight,
                         keys);
        right -= metrics.horizontalAdvance(keys) + 12;
    }
    painter.setPen(text);
    painter.drawText(QRect(left, 0, right - left, height()), Qt::AlignVCenter | Qt::AlignLeft,
                     metrics.elidedText(this->text(), Qt::ElideRight, right - left));
}

void RowButton::enterEvent(QEnterEvent* event) {
    hovering_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void RowButton::focusInEvent(QFocusEvent* event) {
    // The window's first focus lands on a row when the panel opens; a ring there would sit
    // beside the hovered row as a second selection.
    keyboardFocus_ = inputWatch().keys && (event->reason() == Qt::TabFocusReason ||
                                           event->reason() == Qt::BacktabFocusReason ||
                                           event->reason() == Qt::ShortcutFocusReason);
    QAbstractButton::focusInEvent(event);
}

void RowButton::leaveEvent(QEvent* event) {
    hovering_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

// MARK: MenuButton

MenuButton::MenuButton(QWidget* parent)
    : QToolButton(parent) {
    setPopupMode(QToolButton::InstantPopup);
}

int MenuButton::indicatorWidth() const {
    QStyleOptionToolButton option;
    initStyleOption(&option);
    return style()->pixelMetric(QStyle::PM_MenuButtonIndicator, &option, this);
}

QSize MenuButton::sizeHint() const {
    QSize size = QToolButton::sizeHint();
    size.rwidth() += indicatorWidth();
    return size;
}

QRect MenuButton::labelRect() const {
    return rect().adjusted(0, 0, -indicatorWidth(), 0);
}

QRect MenuButton::arrowRect() const {
    const int side = std::max(4, indicatorWidth() - 6);
    return {width() - indicatorWidth(), (height() - side) / 2, side, side};
}

void MenuButton::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionToolButton option;
    initStyleOption(&option);
    option.features &= ~QStyleOptionToolButton::HasMenu;
    QStyleOptionToolButton bevel = option;
    bevel.text.clear();
    bevel.icon = QIcon();
    painter.drawComplexControl(QStyle::CC_ToolButton, bevel);
    QStyleOptionToolButton label = option;
    label.rect = labelRect();
    painter.drawControl(QStyle::CE_ToolButtonLabel, label);
    QStyleOption arrow = option;
    arrow.rect = arrowRect();
    painter.drawPrimitive(QStyle::PE_IndicatorArrowDown, arrow);
}

QPushButton* linkButton(const QString& text, const QString& name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setAccessibleName(text);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    QPalette palette = button->palette();
    palette.setColor(QPalette::ButtonText, palette.color(QPalette::Link));
    button->setPalette(palette);
    button->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    return button;
}

QPushButton* panelButton(const QIcon& icon, const QString& text, const QString& name,
                         QWidget* parent, bool prominent) {
    auto* button = new QPushButton(icon, text, parent);
    button->setObjectName(name);
    button->setAccessibleName(text);
    if (prominent) {
        QPalette palette = button->palette();
        palette.setColor(QPalette::Active, QPalette::Button, palette.color(QPalette::Highlight));
        palette.setColor(QPalette::Inactive, QPalette::Button, palette.color(QPalette::Highlight));
        palette.setColor(QPalette::Active, QPalette::ButtonText,
                         palette.color(QPalette::HighlightedText));
        palette.setColor(QPalette::Inactive, QPalette::ButtonText,
                         palette.color(QPalette::HighlightedText));
        button->setPalette(palette);
    }
    return button;
}

// MARK: WrappingCheck

WrappingCheck::WrappingCheck(const QString& text, const QString& name, QWidget* parent,
                             double scale)
    : QWidget(parent) {
    setObjectName(name + QStringLiteral("Row"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    box_ = new QCheckBox(this);
    box_->setObjectName(name);
    box_->setAccessibleName(text);
    label_ = caption(text, this, false, scale);
    label_->setBuddy(box_);
    label_->installEventFilter(this);
    layout->addWidget(box_, 0, Qt::AlignTop);
    layout->addWidget(label_, 1);
    connect(box_, &QCheckBox::toggled, this, &WrappingCheck::toggled);
}

bool WrappingCheck::isChecked() const {
    return box_->isChecked();
}

void WrappingCheck::setChecked(bool on) {
    box_->setChecked(on);
}

bool WrappingCheck::eventFilter(QObject* watched, QEvent* event) {
    // The label is part of the box, as a check box's own text would be.
    if (watched == label_ && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && box_->isEnabled()) {
        box_->toggle();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

// MARK: Notice

namespace {

QPixmap warningSign(const QColor& color, qreal ratio) {
    const int side = 14;
    QPixmap pixmap(QSize(side, side) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath triangle;
    triangle.moveTo(side / 2.0, 1);
    triangle.lineTo(side - 0.5, side - 1.5);
    triangle.lineTo(0.5, side - 1.5);
    triangle.closeSubpath();
    painter.fillPath(triangle, color);
    painter.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(side / 2.0, 5), QPointF(side / 2.0, 8.5));
    painter.drawPoint(QPointF(side / 2.0, 10.8));
    return pixmap;
}

} // namespace

Notice::Notice(const QString& name, QWidget* parent)
    : QWidget(parent) {
    setObjectName(name);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    sign_ = new QLabel(this);
    sign_->setFixedSize(14, 14);
    label_ = caption(QString(), this, false);
    label_->setObjectName(name + QStringLiteral("Text"));
    // Problems are worth quoting in a report.
    label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(sign_, 0, Qt::AlignTop);
    layout->addWidget(label_, 1);
}

void Notice::set(const QString& text, const QColor& color) {
    if (label_->text() == text && color_ == color)
        return;
    color_ = color;
    label_->setText(text);
    label_->setAccessibleName(text);
    setTextColor(label_, color);
    sign_->setPixmap(warningSign(color, devicePixelRatioF()));
}

QString Notice::text() const {
    return label_->text();
}

// MARK: MeetingRow

MeetingRow::MeetingRow(const QString& name, QWidget* parent)
    : QWidget(parent) {
    setObjectName(name);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    icon_ = new QLabel(this);
    icon_->setFixedSize(22, 22);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(1);
    title_ = headline(QString(), this);
    title_->setObjectName(name + QStringLiteral("Title"));
    detail_ = caption(QString(), this, false);
    detail_->setObjectName(name + QStringLiteral("Detail"));
    texts->addWidget(title_);
    texts->addWidget(detail_);
    layout->addWidget(icon_, 0, Qt::AlignTop);
    layout->addLayout(texts, 1);
}

void MeetingRow::set(const DetectedMeeting& meeting, const QString& detail) {
    const QIcon icon = meeting.isWeb ? themedIcon("web-browser", QStyle::SP_DriveNetIcon)
                                     : themedIcon("video-display", QStyle::SP_ComputerIcon);
    icon_->setPixmap(icon.pixmap(22, 22));
    title_->setText(QString::fromStdString(std::string(rawValue(meeting.platform))) +
                    QStringLiteral(" meeting detected"));
    detail_->setText(detail);
}

QString MeetingRow::title() const {
    return title_->text();
}

QString MeetingRow::detail() const {
    return detail_->text();
}

} // namespace tallyvox::ui

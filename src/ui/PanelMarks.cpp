#include "ui/PanelMarks.h"

#include <QPainter>
#include <QTimer>

namespace tallyvox::ui {

StatusDot::StatusDot(QWidget* parent)
    : QWidget(parent) {
    setFixedSize(8, 8);
}

void StatusDot::setColor(const QColor& color) {
    if (color_ != color) {
        color_ = color;
        update();
    }
}

void StatusDot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color_);
    painter.drawEllipse(rect());
}

Spinner::Spinner(QWidget* parent)
    : QWidget(parent)
    , timer_(new QTimer(this)) {
    setFixedSize(14, 14);
    timer_->setInterval(80);
    connect(timer_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 30) % 360;
        update();
    });
}

void Spinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::WindowText), 2, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(QRectF(rect()).adjusted(2, 2, -2, -2), -angle_ * 16, 270 * 16);
}

void Spinner::showEvent(QShowEvent* event) {
    timer_->start();
    QWidget::showEvent(event);
}

void Spinner::hideEvent(QHideEvent* event) {
    timer_->stop();
    QWidget::hideEvent(event);
}

RoundedBox::RoundedBox(const QString& name, QWidget* parent)
    : QWidget(parent) {
    setObjectName(name);
}

void RoundedBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = palette().color(QPalette::WindowText);
    fill.setAlphaF(0.06f);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(rect(), 8, 8);
}

} // namespace tallyvox::ui

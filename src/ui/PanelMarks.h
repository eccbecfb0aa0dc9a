#pragma once

#include <QColor>
#include <QWidget>

class QTimer;

// The panel's small painted marks.
namespace tallyvox::ui {

// A filled circle of 8 × 8 px.
class StatusDot : public QWidget {
    Q_OBJECT
public:
    explicit StatusDot(QWidget* parent);
    void setColor(const QColor& color);
    QColor color() const { return color_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
};

// A small turning arc; it only turns while it is on screen.
class Spinner : public QWidget {
    Q_OBJECT
public:
    explicit Spinner(QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer* timer_;
    int angle_ = 0;
};

// A group on a faint rounded background.
class RoundedBox : public QWidget {
    Q_OBJECT
public:
    RoundedBox(const QString& name, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace tallyvox::ui

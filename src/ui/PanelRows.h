#pragma once

#include "ui/Palette.h"

#include "types/DetectedMeeting.h"

#include <QAbstractButton>
#include <QColor>
#include <QIcon>
#include <QStyle>
#include <QToolButton>
#include <QWidget>

class QCheckBox;
class QFrame;
class QLabel;
class QPushButton;

// The panel's building blocks: its rows, notices and the detected-meeting row (the painted
// marks are in PanelMarks.h). Shared by every part of the panel so they look alike.
namespace tallyvox::ui {

// The theme's icon, or the style's own when the theme has none.
QIcon themedIcon(const char* name, QStyle::StandardPixmap fallback);

// Readable on light and dark panels alike.
QColor panelRed();
QColor panelOrange();
// Secondary text, darker (or on a dark palette lighter) than the style's placeholder grey
// where that is needed to read 4.5:1 on windows and fields (WCAG AA for small text).
QColor readableSecondary(const QPalette& palette);
QColor secondaryColor(const QWidget* widget);
// Gives a label the secondary text colour.
void makeSecondary(QWidget* widget);

QLabel* headline(const QString& text, QWidget* parent);
// `scale`: caption 0.9, small caption 0.82 of the body size.
QLabel* caption(const QString& text, QWidget* parent, bool secondary = true, double scale = 0.9);
void setTextColor(QWidget* widget, const QColor& color);
QFrame* divider(QWidget* parent, const QString& name);

// A command in the panel: the label fills the row, at least 24 px high; under the pointer it
// sits on the accent colour like a menu item. Keyboard focus gets a ring instead: Qt also
// focuses a row when a window opens, and that must not look like the pointer is on it.
class RowButton : public QAbstractButton {
    Q_OBJECT
public:
    RowButton(const QIcon& icon, const QString& text, QWidget* parent);
    bool hovering() const { return hovering_; }
    bool showsFocusRing() const { return hasFocus() && keyboardFocus_; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    bool hovering_ = false;
    // Focus that came from the keyboard; only that is drawn.
    bool keyboardFocus_ = false;
};

// A tool button that opens its menu at once, with the menu's arrow beside its label: the
// style would draw it over the label's end.
class MenuButton : public QToolButton {
    Q_OBJECT
public:
    explicit MenuButton(QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }
    // Where the icon and text go, and where the arrow goes.
    QRect labelRect() const;
    QRect arrowRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int indicatorWidth() const;
};

// A button that looks like a link, for the pages of the desktop's settings.
QPushButton* linkButton(const QString& text, const QString& name, QWidget* parent);
// A bordered button; `prominent` ones carry the accent colour.
QPushButton* panelButton(const QIcon& icon, const QString& text, const QString& name,
                         QWidget* parent, bool prominent = false);

// A check box whose label wraps: a long statement must be read in full, not cut off.
class WrappingCheck : public QWidget {
    Q_OBJECT
public:
    WrappingCheck(const QString& text, const QString& name, QWidget* parent, double scale = 1.0);
    QCheckBox* box() const { return box_; }
    bool isChecked() const;
    void setChecked(bool on);

signals:
    void toggled(bool on);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QCheckBox* box_;
    QLabel* label_;
};

// A warning sign in the notice's colour and the text in caption size, wrapped.
class Notice : public QWidget {
    Q_OBJECT
public:
    Notice(const QString& name, QWidget* parent);
    void set(const QString& text, const QColor& color);
    QString text() const;
    QColor color() const { return color_; }

private:
    QLabel* sign_;
    QLabel* label_;
    QColor color_;
};

// A detected meeting: a globe for a web meeting, a camera for an app, then
// "Zoom meeting detected" over a detail line.
class MeetingRow : public QWidget {
    Q_OBJECT
public:
    MeetingRow(const QString& name, QWidget* parent);
    void set(const DetectedMeeting& meeting, const QString& detail);
    QString title() const;
    QString detail() const;

private:
    QLabel* icon_;
    QLabel* title_;
    QLabel* detail_;
};

} // namespace tallyvox::ui

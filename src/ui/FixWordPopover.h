#pragma once

#include "session/LiveTranscript.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace tallyvox::ui {

// Replaces a misheard word on every line of the transcript. A word that occurs nowhere keeps
// the popover open with what was typed, so the user can correct the spelling.
class FixWordPopover : public QDialog {
    Q_OBJECT
public:
    static const QString noMatchText;

    FixWordPopover(LiveTranscript& transcript, QWidget* parent);

    QLineEdit* wrongField() const { return wrong_; }
    QLineEdit* rightField() const { return right_; }
    QPushButton* fixButton() const { return fix_; }
    QLabel* noMatchLabel() const { return noMatch_; }

private:
    void refresh();
    void fix();

    LiveTranscript& transcript_;
    QLineEdit* wrong_;
    QLineEdit* right_;
    QLabel* noMatch_;
    QPushButton* fix_;
};

} // namespace tallyvox::ui

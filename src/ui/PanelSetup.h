#pragma once

#include "ui/PanelMarks.h"
#include "ui/PanelRows.h"
#include "ui/UiContext.h"

class QLineEdit;
class QPushButton;

namespace tallyvox::ui {

// First run, nothing detected: turns on automatic transcription once the user takes on
// telling participants.
class SetupView : public RoundedBox {
    Q_OBJECT
public:
    SetupView(UiContext& context, QWidget* parent);
    // Each time the view is shown: not agreed, microphone on, login on, the stored name.
    void reset();

private:
    UiContext& context_;
    QLineEdit* name_;
    WrappingCheck* agreed_;
    WrappingCheck* includeMic_;
    WrappingCheck* launchAtLogin_;
    QPushButton* turnOn_;
};

} // namespace tallyvox::ui

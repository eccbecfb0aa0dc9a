#pragma once

#include "types/TranscriptionSession.h"
#include "ui/UiContext.h"

#include <QWidget>

#include <array>

class QLabel;
class QProgressBar;
class QPushButton;

namespace tallyvox::ui {

class Notice;
class StatusDot;

// The running session: its clock, what is heard, the latest lines, the microphone and the
// pause and stop controls.
class TranscribingView : public QWidget {
    Q_OBJECT
public:
    TranscribingView(UiContext& context, QWidget* parent);
    // Everything, after the manager changed.
    void present(const TranscriptionSession& session);
    // Only what moves with time: the clock, the status line and the level.
    void tick();

private:
    UiContext& context_;
    std::optional<TranscriptionSession> session_;

    StatusDot* dot_;
    QLabel* state_;
    QLabel* elapsed_;
    QLabel* meeting_;
    QWidget* micState_;
    QLabel* micIcon_;
    QLabel* micText_;
    QLabel* status_;
    QProgressBar* level_;
    QWidget* lines_;
    std::array<QLabel*, 3> lineLabels_{};
    QPushButton* micMute_;
    Notice* micSilent_;
    QPushButton* openMicSettings_;
    QLabel* meetingMuted_;
    Notice* muteProblem_;
    QPushButton* openAccessibilitySettings_;
    QPushButton* pause_;
    QPushButton* stop_;
};

} // namespace tallyvox::ui

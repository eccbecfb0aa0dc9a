#pragma once

#include "ui/PanelRows.h"
#include "ui/UiContext.h"

#include <optional>

class QLabel;
class QPushButton;

namespace tallyvox::ui {

// One detected meeting waiting for the user's word that everyone knows it is transcribed.
class ConsentView : public QWidget {
    Q_OBJECT
public:
    ConsentView(UiContext& context, QWidget* parent);
    // `appearing`: the view was not shown before. The box is unticked when the view appears
    // and whenever another meeting takes its place, so one meeting's consent never carries
    // over to the next.
    void present(const DetectedMeeting& meeting, bool appearing);

private:
    void updateStart();

    UiContext& context_;
    std::optional<DetectedMeeting> meeting_;
    MeetingRow* row_;
    WrappingCheck* confirmed_;
    QLabel* tip_;
    QLabel* ignored_;
    QPushButton* start_;
};

} // namespace tallyvox::ui

#pragma once

#include "transcripts/TranscriptRecord.h"
#include "ui/UiContext.h"

#include <QWidget>

class QLabel;
class QMenu;
class QPushButton;
class QToolButton;

namespace tallyvox::ui {

// The last transcript, once it is on disk: open it, show it among its files, export it.
class CompletedView : public QWidget {
    Q_OBJECT
public:
    CompletedView(UiContext& context, QWidget* parent);
    void present(const TranscriptRecord& record);
    QMenu* exportMenu() const { return exportMenu_; }

private:
    UiContext& context_;
    std::filesystem::path file_;
    QLabel* fileName_;
    QPushButton* open_;
    QPushButton* reveal_;
    QToolButton* export_;
    QMenu* exportMenu_;
};

} // namespace tallyvox::ui

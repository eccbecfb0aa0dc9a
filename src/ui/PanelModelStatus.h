#pragma once

#include "ui/UiContext.h"

#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

namespace tallyvox::ui {

class Notice;

// Whether the chosen models are here: the download's progress, a button that fetches what is
// missing, and why the last download failed.
class ModelStatusView : public QWidget {
    Q_OBJECT
public:
    ModelStatusView(UiContext& context, QWidget* parent);
    // Reads the model settings and the files on disk afresh; false when there is nothing to
    // say (the panel then leaves no gap for it).
    bool refresh();

private:
    UiContext& context_;
    QWidget* progressRow_;
    QProgressBar* progress_;
    QPushButton* download_;
    QLabel* downloadCaption_;
    Notice* error_;
};

} // namespace tallyvox::ui

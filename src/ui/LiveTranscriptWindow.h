#pragma once

#include "ui/UiContext.h"

#include <QWidget>

namespace tallyvox::ui {

class LiveTranscriptWindow : public QWidget {
    Q_OBJECT
public:
    explicit LiveTranscriptWindow(UiContext& context, QWidget* parent = nullptr);

private:
    UiContext& context_;
};

} // namespace tallyvox::ui

#include "ui/LiveTranscriptWindow.h"

namespace tallyvox::ui {

LiveTranscriptWindow::LiveTranscriptWindow(UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context) {}

} // namespace tallyvox::ui

#include "ui/SettingsWindow.h"

namespace tallyvox::ui {

SettingsWindow::SettingsWindow(UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context) {}

} // namespace tallyvox::ui

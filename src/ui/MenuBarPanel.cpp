#include "ui/MenuBarPanel.h"

namespace tallyvox::ui {

MenuBarPanel::MenuBarPanel(UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context) {}

} // namespace tallyvox::ui

#pragma once

#include "ui/UiContext.h"

#include <QWidget>

namespace tallyvox::ui {

class MenuBarPanel : public QWidget {
    Q_OBJECT
public:
    explicit MenuBarPanel(UiContext& context, QWidget* parent = nullptr);

private:
    UiContext& context_;
};

} // namespace tallyvox::ui

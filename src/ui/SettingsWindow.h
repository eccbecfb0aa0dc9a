#pragma once

#include "ui/UiContext.h"

#include <QWidget>

namespace tallyvox::ui {

class SettingsWindow : public QWidget {
    Q_OBJECT
public:
    explicit SettingsWindow(UiContext& context, QWidget* parent = nullptr);

private:
    UiContext& context_;
};

} // namespace tallyvox::ui

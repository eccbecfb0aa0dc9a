#pragma once

#include "ui/UiContext.h"

#include <QWidget>

class QTabWidget;

namespace tallyvox::ui {

class SettingsGeneralTab;
class SettingsTranscriptionTab;
class SettingsPrivacyTab;

// Every stored setting, in three tabs. There is nothing to save or cancel: each control
// takes effect as soon as it changes.
class SettingsWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int fixedWidth = 500;

    explicit SettingsWindow(UiContext& context, QWidget* parent = nullptr);

    QTabWidget* tabs() const { return tabs_; }
    SettingsGeneralTab* general() const { return general_; }
    SettingsTranscriptionTab* transcription() const { return transcription_; }
    SettingsPrivacyTab* privacy() const { return privacy_; }

private:
    UiContext& context_;
    QTabWidget* tabs_ = nullptr;
    SettingsGeneralTab* general_ = nullptr;
    SettingsTranscriptionTab* transcription_ = nullptr;
    SettingsPrivacyTab* privacy_ = nullptr;
};

} // namespace tallyvox::ui

#pragma once

#include "ui/ManagerWatch.h"
#include "ui/SettingsForm.h"
#include "ui/UiContext.h"

#include <QWidget>

#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;

namespace tallyvox::ui {

// What never leaves this computer, how long transcripts are kept, and consent.
class SettingsPrivacyTab : public QWidget {
    Q_OBJECT
public:
    explicit SettingsPrivacyTab(UiContext& context, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void build();
    void syncFromDefaults();
    void syncFromManager();

    UiContext& context_;
    QComboBox* deleteAfter_ = nullptr;
    QCheckBox* automatic_ = nullptr;
    QCheckBox* reminder_ = nullptr;
    QLabel* consentFooter_ = nullptr;

    std::unique_ptr<SettingsForm::DefaultsWatch> watch_;
    std::unique_ptr<ManagerWatch> managerWatch_;
};

} // namespace tallyvox::ui

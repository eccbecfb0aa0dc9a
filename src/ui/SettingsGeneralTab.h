#pragma once

#include "ui/SettingsForm.h"
#include "ui/UiContext.h"

#include <QWidget>

#include <memory>
#include <optional>
#include <string>

class QCheckBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tallyvox::ui {

// Startup, meeting detection, participants, the transcript folder and the app's version.
class SettingsGeneralTab : public QWidget {
    Q_OBJECT
public:
    explicit SettingsGeneralTab(UiContext& context, QWidget* parent = nullptr);

    // The folder transcripts go to from now on; an empty path means the default folder.
    void setSaveLocation(const std::string& path);
    // Reads the login item and the transcript folder again.
    void refresh();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void build();
    void changeLaunchAtLogin(bool on);
    void chooseFolder();
    // Shows the preferences as stored now.
    void syncFromDefaults();
    void updateEnabled();
    void set(std::string_view key, bool value);

    UiContext& context_;
    std::string saveLocation_;
    std::optional<std::string> loginError_;

    QCheckBox* launchAtLogin_ = nullptr;
    QLabel* loginNotice_ = nullptr;
    QCheckBox* autoDetect_ = nullptr;
    QCheckBox* detectZoom_ = nullptr;
    QCheckBox* detectTeams_ = nullptr;
    QCheckBox* detectWeb_ = nullptr;
    QCheckBox* detectMeet_ = nullptr;
    QLineEdit* myName_ = nullptr;
    QCheckBox* useCalendar_ = nullptr;
    SettingsForm::ElidedLabel* savePath_ = nullptr;
    QPushButton* choose_ = nullptr;
    QPushButton* useDefault_ = nullptr;
    QLabel* cloudWarning_ = nullptr;
    QFormLayout* transcriptRows_ = nullptr;

    std::unique_ptr<SettingsForm::DefaultsWatch> watch_;
};

} // namespace tallyvox::ui

#include "ui/SettingsGeneralTab.h"

#include "settings/AppInfo.h"
#include "settings/ProtectedSettings.h"
#include "transcripts/TranscriptManager.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <exception>

namespace tallyvox::ui {

using namespace SettingsForm;
namespace Key = SettingsManager::Key;

SettingsGeneralTab::SettingsGeneralTab(UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context) {
    setObjectName(QStringLiteral("generalSettings"));
    build();
    refresh();
    syncFromDefaults();
    watch_ = std::make_unique<DefaultsWatch>(this, context_.stores.defaults,
                                             [this] { syncFromDefaults(); });
}

void SettingsGeneralTab::build() {
    auto* layout = new QVBoxLayout(this);

    auto* startup = section(QStringLiteral("Startup"), this, "startupSection");
    launchAtLogin_ = toggle(QStringLiteral("Launch at login"), "launchAtLogin");
    connect(launchAtLogin_, &QCheckBox::toggled, this,
            [this](bool on) { changeLaunchAtLogin(on); });
    rows(startup)->addRow(launchAtLogin_);
    // The desktop starts what is in the autostart folder without asking anyone, so there is
    // never an approval to wait for.
    loginNotice_ = redNotice("loginError");
    rows(startup)->addRow(loginNotice_);
    layout->addWidget(startup);

    auto* detection = section(QStringLiteral("Meeting Detection"), this, "detectionSection");
    autoDetect_ = toggle(QStringLiteral("Detect meetings automatically"), "autoDetect");
    detectZoom_ = toggle(QStringLiteral("Zoom"), "detectZoom");
    detectTeams_ = toggle(QStringLiteral("Microsoft Teams"), "detectTeams");
    detectWeb_ = toggle(QStringLiteral("Web meetings (Chrome, Chromium, Edge, Brave, Firefox)"),
                        "detectWeb");
    detectMeet_ = toggle(QStringLiteral("Google Meet"), "detectMeet");
    const std::pair<QCheckBox*, std::string_view> detectionKeys[] = {
        {autoDetect_, Key::autoDetect},
        {detectZoom_, Key::detectZoom},
        {detectTeams_, Key::detectTeams},
        {detectWeb_, Key::detectWeb},
        {detectMeet_, Key::detectMeet}};
    for (auto [box, key] : detectionKeys) {
        rows(detection)->addRow(box);
        connect(box, &QCheckBox::toggled, this, [this, key = key](bool on) {
            set(key, on);
            updateEnabled();
        });
    }
    layout->addWidget(detection);

    auto* participants = section(QStringLiteral("Participants"), this, "participantsSection");
    myName_ = named(new QLineEdit, "myName", QStringLiteral("My name"));
    myName_->setPlaceholderText(QStringLiteral("Shown on your microphone lines"));
    connect(myName_, &QLineEdit::textEdited, this, [this](const QString& name) {
        SettingsForm::store(context_.stores, Key::myName, PlistValue(name.toStdString()));
    });
    rows(participants)->addRow(rowLabel(QStringLiteral("My name"), myName_), myName_);
    useCalendar_ = toggle(QStringLiteral("Use my Calendar for meeting title and invited names"),
                          "useCalendar");
    // The desktop's calendar service answers every program of this user; there is no access
    // to ask for first.
    connect(useCalendar_, &QCheckBox::toggled, this,
            [this](bool on) { set(Key::useCalendar, on); });
    rows(participants)->addRow(useCalendar_);
    rows(participants)
        ->addRow(footer(QStringLiteral(
            "Works only if your work calendar is in the desktop's calendar (GNOME Calendar or "
            "Evolution). Other people's voices are named only when that can be proven; otherwise "
            "they stay Unidentified.")));
    layout->addWidget(participants);

    auto* transcripts = section(QStringLiteral("Transcripts"), this, "transcriptsSection");
    transcriptRows_ = rows(transcripts);
    auto* saveRow = new QWidget;
    auto* saveLayout = new QHBoxLayout(saveRow);
    saveLayout->setContentsMargins(0, 0, 0, 0);
    savePath_ = new ElidedLabel;
    savePath_->setObjectName(QStringLiteral("savePath"));
    choose_ = named(new QPushButton(QStringLiteral("Choose…")), "chooseFolder",
                    QStringLiteral("Choose…"));
    connect(choose_, &QPushButton::clicked, this, [this] { chooseFolder(); });
    saveLayout->addWidget(savePath_, 1);
    saveLayout->addWidget(choose_);
    rows(transcripts)->addRow(rowLabel(QStringLiteral("Save to"), choose_), saveRow);
    useDefault_ = named(new QPushButton(QStringLiteral("Use Default Folder")), "useDefaultFolder",
                        QStringLiteral("Use Default Folder"));
    connect(useDefault_, &QPushButton::clicked, this, [this] { setSaveLocation({}); });
    rows(transcripts)->addRow(useDefault_);
    cloudWarning_ = new QLabel(QStringLiteral(
        "This folder syncs to the cloud, so transcripts will leave this computer. Choose a local "
        "folder to keep them here."));
    cloudWarning_->setObjectName(QStringLiteral("cloudWarning"));
    cloudWarning_->setWordWrap(true);
    rows(transcripts)->addRow(cloudWarning_);
    layout->addWidget(transcripts);

    auto* about = section(QStringLiteral("About"), this, "aboutSection");
    auto* version = new QLabel(text(AppInfo::version()));
    version->setObjectName(QStringLiteral("version"));
    auto* buildLabel = new QLabel(text(AppInfo::build() + " (" + AppInfo::buildDate() + ")"));
    buildLabel->setObjectName(QStringLiteral("build"));
    for (auto* value : {version, buildLabel})
        value->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    rows(about)->addRow(rowLabel(QStringLiteral("Version"), version), version);
    rows(about)->addRow(rowLabel(QStringLiteral("Build"), buildLabel), buildLabel);
    layout->addWidget(about);
    layout->addStretch(1);
}

void SettingsGeneralTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refresh();
}

void SettingsGeneralTab::refresh() {
    const auto& services = context_.manager->services();
    launchAtLogin_->setEnabled(static_cast<bool>(services.setLaunchAtLogin));
    setChecked(launchAtLogin_, services.launchAtLoginEnabled && services.launchAtLoginEnabled());
    showNotice(loginNotice_, loginError_ ? text(*loginError_) : QString());

    auto stored = ProtectedSettings::value(Key::saveLocation, context_.stores.protectedFile);
    saveLocation_ = stored ? stored->stringValue().value_or("") : "";
    const auto root = SettingsManager::saveRoot(context_.stores);
    savePath_->setFullText(QString::fromStdString(root.string()));
    transcriptRows_->setRowVisible(useDefault_, !saveLocation_.empty());
    transcriptRows_->setRowVisible(cloudWarning_, TranscriptManager::isCloudSynced(root));
}

void SettingsGeneralTab::syncFromDefaults() {
    setChecked(autoDetect_, SettingsManager::autoDetect(context_.stores));
    setChecked(detectZoom_, SettingsManager::detectZoom(context_.stores));
    setChecked(detectTeams_, SettingsManager::detectTeams(context_.stores));
    setChecked(detectWeb_, SettingsManager::detectWeb(context_.stores));
    setChecked(detectMeet_, SettingsManager::detectMeet(context_.stores));
    setChecked(useCalendar_, SettingsManager::useCalendar(context_.stores));
    // Only a change from elsewhere replaces the text, so typing keeps its cursor.
    auto name = QString::fromStdString(SettingsManager::myName(context_.stores));
    if (myName_->text() != name) {
        QSignalBlocker blocker(myName_);
        myName_->setText(name);
    }
    updateEnabled();
}

void SettingsGeneralTab::updateEnabled() {
    const bool automatic = autoDetect_->isChecked();
    detectZoom_->setEnabled(automatic);
    detectTeams_->setEnabled(automatic);
    detectWeb_->setEnabled(automatic);
    detectMeet_->setEnabled(automatic && detectWeb_->isChecked());
}

void SettingsGeneralTab::set(std::string_view key, bool value) {
    SettingsForm::store(context_.stores, key, PlistValue(value));
}

void SettingsGeneralTab::changeLaunchAtLogin(bool on) {
    const auto& services = context_.manager->services();
    if (!services.setLaunchAtLogin)
        return;
    try {
        services.setLaunchAtLogin(on);
        loginError_.reset();
    } catch (const std::exception& error) {
        loginError_ = error.what();
    }
    refresh();
}

void SettingsGeneralTab::chooseFolder() {
    QFileDialog dialog(this, QStringLiteral("Choose a Folder for Transcripts"),
                       QString::fromStdString(SettingsManager::saveRoot(context_.stores).string()));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Choose"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    setSaveLocation(dialog.selectedFiles().constFirst().toStdString());
}

void SettingsGeneralTab::setSaveLocation(const std::string& path) {
    std::optional<PlistValue> value;
    if (!path.empty())
        value = PlistValue(path);
    SettingsForm::store(context_.stores, Key::saveLocation, value);
    // Shows what the file holds now: a write that failed leaves the previous folder in use.
    refresh();
}

} // namespace tallyvox::ui

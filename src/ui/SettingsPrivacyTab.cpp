#include "ui/SettingsPrivacyTab.h"

#include "settings/ConsentManager.h"
#include "ui/SettingsOptions.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QSignalBlocker>
#include <QStyle>
#include <QVBoxLayout>

namespace tallyvox::ui {

using namespace SettingsForm;
namespace Key = SettingsManager::Key;

namespace {

QWidget* alwaysOnRow(const QString& statement, QStyle* style) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* mark = new QLabel;
    const int size = style->pixelMetric(QStyle::PM_SmallIconSize);
    QIcon icon = QIcon::fromTheme(QStringLiteral("object-select-symbolic"),
                                  QIcon::fromTheme(QStringLiteral("emblem-ok-symbolic")));
    if (icon.isNull())
        icon = style->standardIcon(QStyle::SP_DialogApplyButton);
    mark->setPixmap(icon.pixmap(size, size));
    auto* label = new QLabel(statement);
    label->setWordWrap(true);
    layout->addWidget(mark);
    layout->addWidget(label, 1);
    return row;
}

} // namespace

SettingsPrivacyTab::SettingsPrivacyTab(UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context) {
    setObjectName(QStringLiteral("privacySettings"));
    build();
    syncFromDefaults();
    syncFromManager();
    watch_ = std::make_unique<DefaultsWatch>(this, context_.stores.defaults,
                                             [this] { syncFromDefaults(); });
    managerWatch_ =
        std::make_unique<ManagerWatch>(this, *context_.manager, [this] { syncFromManager(); });
}

void SettingsPrivacyTab::build() {
    auto* layout = new QVBoxLayout(this);

    auto* alwaysOn = section(QStringLiteral("Always on"), this, "alwaysOnSection");
    for (const auto* statement :
         {"Audio is processed only on this computer", "Audio is never saved",
          "Transcripts are never uploaded or shared"})
        rows(alwaysOn)->addRow(alwaysOnRow(QString::fromUtf8(statement), style()));
    rows(alwaysOn)->addRow(
        footer(QStringLiteral("The network is used only to download models you choose.")));
    layout->addWidget(alwaysOn);

    auto* retention = section(QString(), this, "retentionSection");
    deleteAfter_ = picker("deleteAfterDays", QStringLiteral("Delete transcripts after"));
    for (const auto& option : SettingsOptions::deleteAfter())
        deleteAfter_->addItem(text(option.shown), option.days);
    connect(deleteAfter_, &QComboBox::activated, this, [this](int index) {
        SettingsForm::store(context_.stores, Key::deleteAfterDays,
                            PlistValue(deleteAfter_->itemData(index).toInt()));
        context_.manager->cleanUpOldTranscripts();
    });
    rows(retention)->addRow(rowLabel(QStringLiteral("Delete transcripts after"), deleteAfter_),
                            deleteAfter_);
    rows(retention)->addRow(footer(QStringLiteral(
        "Old transcripts move to the Trash. Only files this app created are touched.")));
    layout->addWidget(retention);

    auto* consent = section(QStringLiteral("Consent"), this, "consentSection");
    automatic_ = toggle(QStringLiteral("Transcribe meetings automatically"), "automatic");
    connect(automatic_, &QCheckBox::toggled, this, [this](bool on) {
        if (on)
            context_.manager->enableAutomatic(SettingsManager::includeMic(context_.stores), false);
        else
            context_.manager->disableAutomatic();
        // A consent that could not be stored leaves the manager as it was.
        syncFromManager();
    });
    rows(consent)->addRow(automatic_);
    reminder_ = toggle(QStringLiteral("Remind me to tell participants"), "consentReminder");
    connect(reminder_, &QCheckBox::toggled, this, [this](bool on) {
        SettingsForm::store(context_.stores, Key::consentReminder, PlistValue(on));
    });
    rows(consent)->addRow(reminder_);
    consentFooter_ = footer(QString());
    consentFooter_->setObjectName(QStringLiteral("consentFooter"));
    rows(consent)->addRow(consentFooter_);
    layout->addWidget(consent);
    layout->addStretch(1);
}

void SettingsPrivacyTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    syncFromManager();
}

void SettingsPrivacyTab::syncFromDefaults() {
    const int days = SettingsManager::deleteAfterDays(context_.stores);
    int index = deleteAfter_->findData(days);
    QSignalBlocker blocker(deleteAfter_);
    const int listed = static_cast<int>(SettingsOptions::deleteAfter().size());
    while (deleteAfter_->count() > listed)
        deleteAfter_->removeItem(deleteAfter_->count() - 1);
    if (index < 0 || index >= listed) {
        // A count set elsewhere stays visible rather than turning into "Never" on screen.
        deleteAfter_->addItem(text(SettingsOptions::unlistedDeleteAfter(days)), days);
        index = deleteAfter_->count() - 1;
    }
    deleteAfter_->setCurrentIndex(index);
    setChecked(reminder_, SettingsManager::consentReminder(context_.stores));
}

void SettingsPrivacyTab::syncFromManager() {
    const bool on = context_.manager->automatic.get();
    setChecked(automatic_, on);
    if (on) {
        QString footerText = QStringLiteral("On: ");
        footerText += text(ConsentManager::standingStatement);
        footerText += QStringLiteral(" Turn off to confirm consent before each meeting instead.");
        consentFooter_->setText(footerText);
    } else {
        consentFooter_->setText(QStringLiteral(
            "Off: you confirm participant consent in the menu before each meeting."));
    }
}

} // namespace tallyvox::ui

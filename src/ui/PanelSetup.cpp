#include "ui/PanelSetup.h"

#include "settings/ConsentManager.h"
#include "ui/PanelStatus.h"
#include "ui/SettingsForm.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tallyvox::ui {

SetupView::SetupView(UiContext& context, QWidget* parent)
    : RoundedBox(QStringLiteral("setupView"), parent)
    , context_(context) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(8);

    auto* title = headline(QStringLiteral("Automatic Transcription"), this);
    title->setObjectName(QStringLiteral("setupTitle"));
    layout->addWidget(title);

    name_ = new QLineEdit(this);
    name_->setObjectName(QStringLiteral("myNameField"));
    name_->setPlaceholderText(QStringLiteral("My name"));
    name_->setAccessibleName(QStringLiteral("My name"));
    // Stored as typed, so the microphone's lines carry it even if setup goes no further.
    connect(name_, &QLineEdit::textEdited, this, [this](const QString& text) {
        SettingsForm::store(context_.stores, SettingsManager::Key::myName,
                            PlistValue(text.toStdString()));
    });
    layout->addWidget(name_);

    agreed_ = new WrappingCheck(QString::fromUtf8(ConsentManager::standingStatement.data(),
                                                  ConsentManager::standingStatement.size()),
                                QStringLiteral("standingConsentCheck"), this);
    layout->addWidget(agreed_);
    includeMic_ =
        new WrappingCheck(QStringLiteral("Include my voice (microphone, only during meetings)"),
                          QStringLiteral("includeMicCheck"), this, 0.9);
    layout->addWidget(includeMic_);
    launchAtLogin_ = new WrappingCheck(QStringLiteral("Open at login"),
                                       QStringLiteral("launchAtLoginCheck"), this, 0.9);
    layout->addWidget(launchAtLogin_);

    turnOn_ =
        panelButton(QIcon(), QStringLiteral("Turn On"), QStringLiteral("turnOnButton"), this, true);
    turnOn_->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    connect(agreed_, &WrappingCheck::toggled, turnOn_, &QPushButton::setEnabled);
    connect(turnOn_, &QPushButton::clicked, this, [this] {
        if (agreed_->isChecked())
            context_.manager->enableAutomatic(includeMic_->isChecked(),
                                              launchAtLogin_->isChecked());
    });
    layout->addWidget(turnOn_);

    auto* footnote = caption(QString::fromUtf8(panel::setupFootnote), this);
    footnote->setObjectName(QStringLiteral("setupFootnote"));
    layout->addWidget(footnote);
    reset();
}

void SetupView::reset() {
    agreed_->setChecked(false);
    includeMic_->setChecked(true);
    launchAtLogin_->setChecked(true);
    turnOn_->setEnabled(false);
    name_->setText(QString::fromStdString(SettingsManager::myName(context_.stores)));
}

} // namespace tallyvox::ui

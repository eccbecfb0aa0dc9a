#include "ui/RenamePopover.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tallyvox::ui {

RenamePopover::RenamePopover(LiveTranscript& transcript, std::optional<int> speaker,
                             const Uuid& line, QWidget* parent)
    : QDialog(parent, Qt::Popup)
    , transcript_(transcript)
    , speaker_(speaker)
    , line_(line) {
    setObjectName(QStringLiteral("renamePopover"));
    auto title =
        QStringLiteral("Rename ") + QString::fromStdString(transcript.speakerName(speaker));
    setAccessibleName(title);
    auto* layout = new QVBoxLayout(this);
    auto* heading = new QLabel(title);
    heading->setObjectName(QStringLiteral("renameTitle"));
    // Names come from typing and from calendar invitations: never markup.
    heading->setTextFormat(Qt::PlainText);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    layout->addWidget(heading);

    field_ = new QLineEdit;
    field_->setObjectName(QStringLiteral("renameField"));
    field_->setAccessibleName(title);
    field_->setPlaceholderText(QStringLiteral("Name or role, e.g. Designer"));
    field_->setMinimumWidth(220);
    const auto& typed = transcript.speakerNames.get();
    if (auto found = speaker ? typed.find(*speaker) : typed.end(); found != typed.end())
        field_->setText(QString::fromStdString(found->second));
    layout->addWidget(field_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setObjectName(QStringLiteral("renameCancel"));
    cancel->setAccessibleName(QStringLiteral("Cancel"));
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto* rename = new QPushButton(QStringLiteral("Rename"));
    rename->setObjectName(QStringLiteral("renameButton"));
    rename->setAccessibleName(QStringLiteral("Rename"));
    rename->setDefault(true);
    connect(rename, &QPushButton::clicked, this, &QDialog::accept);
    buttons->addWidget(cancel);
    buttons->addWidget(rename);
    layout->addLayout(buttons);
    field_->setFocus();
}

void RenamePopover::done(int result) {
    if (result == Accepted) {
        const std::string name = field_->text().toStdString();
        if (speaker_) {
            transcript_.rename(*speaker_, name);
        } else if (!field_->text().trimmed().isEmpty()) {
            transcript_.reassign(line_, std::nullopt);
            for (const auto& line : transcript_.segments.get())
                if (line.id == line_ && line.speaker)
                    transcript_.rename(*line.speaker, name);
        }
    }
    QDialog::done(result);
}

} // namespace tallyvox::ui

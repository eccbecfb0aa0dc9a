#include "ui/FixWordPopover.h"

#include "settings/WordMemory.h"
#include "ui/Palette.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tallyvox::ui {

const QString FixWordPopover::noMatchText = QStringLiteral("That word isn't in this transcript.");

FixWordPopover::FixWordPopover(LiveTranscript& transcript, QWidget* parent)
    : QDialog(parent, Qt::Popup)
    , transcript_(transcript) {
    setObjectName(QStringLiteral("fixWordPopover"));
    setAccessibleName(QStringLiteral("Fix a Word"));
    auto* layout = new QVBoxLayout(this);
    auto* heading = new QLabel(QStringLiteral("Fix a Word"));
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    layout->addWidget(heading);

    auto makeField = [](const QString& label, const char* name) {
        auto* field = new QLineEdit;
        field->setObjectName(QString::fromLatin1(name));
        field->setAccessibleName(label);
        field->setPlaceholderText(label);
        field->setMinimumWidth(220);
        return field;
    };
    wrong_ = makeField(QStringLiteral("Wrong word"), "wrongWord");
    right_ = makeField(QStringLiteral("Right word"), "rightWord");
    // Labels that stay once the fields are filled, when placeholders are gone.
    auto* fields = new QFormLayout;
    auto* wrongLabel = new QLabel(QStringLiteral("&Wrong:"));
    wrongLabel->setObjectName(QStringLiteral("wrongWordLabel"));
    wrongLabel->setBuddy(wrong_);
    auto* rightLabel = new QLabel(QStringLiteral("&Right:"));
    rightLabel->setObjectName(QStringLiteral("rightWordLabel"));
    rightLabel->setBuddy(right_);
    fields->addRow(wrongLabel, wrong_);
    fields->addRow(rightLabel, right_);
    layout->addLayout(fields);

    auto* note = new QLabel(QStringLiteral(
        "Changes it everywhere in this transcript. Fix a word twice and the app listens for it "
        "next time."));
    note->setWordWrap(true);
    note->setMaximumWidth(280);
    layout->addWidget(note);

    noMatch_ = new QLabel(noMatchText);
    noMatch_->setObjectName(QStringLiteral("noMatch"));
    noMatch_->setAccessibleName(noMatchText);
    QPalette error = noMatch_->palette();
    error.setColor(QPalette::WindowText, errorTextColor(error));
    noMatch_->setPalette(error);
    noMatch_->hide();
    layout->addWidget(noMatch_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setObjectName(QStringLiteral("fixCancel"));
    cancel->setAccessibleName(QStringLiteral("Cancel"));
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    fix_ = new QPushButton(QStringLiteral("Fix"));
    fix_->setObjectName(QStringLiteral("fixButton"));
    fix_->setAccessibleName(QStringLiteral("Fix"));
    fix_->setDefault(true);
    connect(fix_, &QPushButton::clicked, this, &FixWordPopover::fix);
    buttons->addWidget(cancel);
    buttons->addWidget(fix_);
    layout->addLayout(buttons);

    for (auto* field : {wrong_, right_})
        connect(field, &QLineEdit::textChanged, this, [this] {
            noMatch_->hide();
            refresh();
        });
    refresh();
    wrong_->setFocus();
}

void FixWordPopover::refresh() {
    fix_->setEnabled(!WordFix::cleaned(wrong_->text().toStdString()).empty() &&
                     !WordFix::cleaned(right_->text().toStdString()).empty());
}

void FixWordPopover::fix() {
    if (!fix_->isEnabled())
        return;
    if (transcript_.fixWord(wrong_->text().toStdString(), right_->text().toStdString()) == 0) {
        noMatch_->show();
        adjustSize();
        return;
    }
    accept();
}

} // namespace tallyvox::ui

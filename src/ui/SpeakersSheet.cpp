#include "ui/SpeakersSheet.h"

#include "ui/PanelRows.h"

#include "ui/MenuText.h"

#include "ui/TranscriptLines.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QToolButton>
#include <QVBoxLayout>

namespace tallyvox::ui {

const QString SpeakersSheet::matchNote =
    QStringLiteral("Named because one other person is listed and one other voice was heard.");

namespace {

QPixmap dot(const QColor& color) {
    QPixmap pixmap(8, 8);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(0, 0, 8, 8);
    return pixmap;
}

} // namespace

SpeakersSheet::SpeakersSheet(LiveTranscript& transcript, QWidget* parent)
    : QDialog(parent)
    , transcript_(transcript) {
    setObjectName(QStringLiteral("speakersSheet"));
    setAccessibleName(QStringLiteral("Speakers"));
    setWindowTitle(QStringLiteral("Speakers"));
    setWindowModality(Qt::WindowModal);
    setMinimumSize(420, 360);
    auto* layout = new QVBoxLayout(this);
    auto* heading = new QLabel(QStringLiteral("Speakers"));
    QFont big = heading->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.2);
    heading->setFont(big);
    layout->addWidget(heading);

    auto* scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("speakerList"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    rows_ = new QWidget;
    rowsLayout_ = new QVBoxLayout(rows_);
    rowsLayout_->setContentsMargins(0, 0, 0, 0);
    scroll->setWidget(rows_);
    layout->addWidget(scroll, 1);

    auto* peopleTitle = new QLabel(QStringLiteral("People in this meeting"));
    peopleTitle->setFont(heading->font());
    layout->addWidget(peopleTitle);
    people_ = new QLineEdit;
    people_->setObjectName(QStringLiteral("peopleField"));
    people_->setAccessibleName(QStringLiteral("People in this meeting"));
    people_->setPlaceholderText(QStringLiteral("Names, separated by commas"));
    peopleTitle->setBuddy(people_);
    layout->addWidget(people_);
    auto* explanation = new QLabel(
        QStringLiteral("In a two-person call, the other voice gets their name. With more people, "
                       "click a name on a line. Voices are never guessed."));
    explanation->setWordWrap(true);
    layout->addWidget(explanation);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* done = new QPushButton(QStringLiteral("Done"));
    done->setObjectName(QStringLiteral("speakersDone"));
    done->setAccessibleName(QStringLiteral("Done"));
    done->setDefault(true);
    connect(done, &QPushButton::clicked, this, &SpeakersSheet::apply);
    buttons->addWidget(done);
    layout->addLayout(buttons);

    watch_ = std::make_unique<ManagerWatch>(this, transcript, [this] { rebuild(); });
    rebuild();
}

std::vector<std::string> SpeakersSheet::splitPeople(const QString& text) {
    std::vector<std::string> out;
    for (const auto& piece : text.split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (!piece.trimmed().isEmpty())
            out.push_back(piece.toStdString());
    return out;
}

void SpeakersSheet::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Filled when the sheet appears, not when the desktop merely shows it again.
    if (event->spontaneous())
        return;
    QStringList names;
    for (const auto& name : transcript_.roster.get())
        names.append(QString::fromStdString(name));
    people_->setText(names.join(QStringLiteral(", ")));
}

void SpeakersSheet::apply() {
    transcript_.setRoster(splitPeople(people_->text()));
    accept();
}

void SpeakersSheet::rebuild() {
    while (auto* item = rowsLayout_->takeAt(0)) {
        // Later, not now: a row's "Merge Into" menu may still be closing when it merged.
        if (auto* widget = item->widget()) {
            widget->setObjectName({});
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
    auto speakers = transcript_.knownSpeakers();
    if (speakers.empty()) {
        auto* none = new QLabel(QStringLiteral("No speakers yet."));
        none->setObjectName(QStringLiteral("noSpeakers"));
        rowsLayout_->addWidget(none);
        rowsLayout_->addStretch();
        return;
    }
    std::map<int, int> lineCounts;
    for (const auto& line : transcript_.segments.get())
        if (line.speaker)
            ++lineCounts[*line.speaker];
    const auto& typed = transcript_.speakerNames.get();
    const auto& matched = transcript_.matchedNames.get();
    for (int speaker : speakers) {
        auto name = QString::fromStdString(transcript_.speakerName(speaker));
        auto* row = new QWidget;
        row->setObjectName(QStringLiteral("speaker%1").arg(speaker));
        auto* grid = new QGridLayout(row);
        grid->setContentsMargins(0, 4, 0, 4);
        auto* colour = new QLabel;
        colour->setPixmap(dot(speakerColor(speaker)));
        grid->addWidget(colour, 0, 0);
        auto* label = new QLabel(name);
        label->setObjectName(QStringLiteral("speakerName"));
        // Names come from typing and from calendar invitations: never markup.
        label->setTextFormat(Qt::PlainText);
        grid->addWidget(label, 0, 1);
        int count = lineCounts[speaker];
        auto* lines = new QLabel(QStringLiteral("%1 %2").arg(count).arg(
            count == 1 ? QStringLiteral("line") : QStringLiteral("lines")));
        lines->setObjectName(QStringLiteral("lineCount"));
        grid->addWidget(lines, 0, 2);
        grid->setColumnStretch(1, 1);

        auto* merge = new MenuButton;
        merge->setObjectName(QStringLiteral("mergeInto"));
        merge->setText(QStringLiteral("Merge Into"));
        merge->setAccessibleName(QStringLiteral("Merge ") + name + QStringLiteral(" Into"));
        merge->setPopupMode(QToolButton::InstantPopup);
        merge->setFocusPolicy(Qt::StrongFocus);
        auto* menu = new QMenu(merge);
        for (int other : speakers) {
            if (other == speaker)
                continue;
            auto* action = menu->addAction(menuText(transcript_.speakerName(other)));
            action->setData(other);
            connect(action, &QAction::triggered, this,
                    [this, speaker, other] { transcript_.merge(speaker, other); });
        }
        merge->setMenu(menu);
        merge->setEnabled(!menu->isEmpty());
        grid->addWidget(merge, 0, 3);

        if (matched.contains(speaker) && !typed.contains(speaker)) {
            auto* note = new QLabel(matchNote);
            note->setObjectName(QStringLiteral("matchNote"));
            note->setTextFormat(Qt::PlainText);
            note->setWordWrap(true);
            makeSecondary(note);
            grid->addWidget(note, 1, 1, 1, 3);
        }
        rowsLayout_->addWidget(row);
    }
    rowsLayout_->addStretch();
}

} // namespace tallyvox::ui

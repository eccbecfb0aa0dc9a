#include "ui/PanelCompleted.h"

#include "ui/PanelRows.h"
#include "ui/PanelStatus.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace tallyvox::ui {

CompletedView::CompletedView(UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context) {
    setObjectName(QStringLiteral("completedView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);

    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(6);
    auto* icon = new QLabel(this);
    icon->setPixmap(themedIcon("emblem-ok-symbolic", QStyle::SP_DialogApplyButton).pixmap(16, 16));
    titleRow->addWidget(icon);
    auto* title = headline(QStringLiteral("Transcript saved"), this);
    title->setObjectName(QStringLiteral("completedTitle"));
    titleRow->addWidget(title, 1);
    layout->addLayout(titleRow);

    fileName_ = caption(QString(), this);
    fileName_->setObjectName(QStringLiteral("completedFileName"));
    fileName_->setWordWrap(false);
    // A long name is cut at the panel's edge; the whole path is in the tooltip.
    fileName_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    layout->addWidget(fileName_);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(6);
    // Text only: three buttons share the panel's width.
    open_ = panelButton(QIcon(), QStringLiteral("Open Transcript"),
                        QStringLiteral("openTranscriptButton"), this);
    connect(open_, &QPushButton::clicked, this, [this] {
        if (context_.actions.openFile)
            if (auto why = context_.actions.openFile(file_))
                context_.manager->lastError.set(panel::couldNotOpen(file_, *why));
    });
    buttons->addWidget(open_);
    reveal_ = panelButton(QIcon(), QStringLiteral("Show in Files"),
                          QStringLiteral("showInFilesButton"), this);
    connect(reveal_, &QPushButton::clicked, this, [this] {
        if (context_.actions.revealFile)
            if (auto why = context_.actions.revealFile(file_))
                context_.manager->lastError.set(panel::couldNotShow(file_, *why));
    });
    buttons->addWidget(reveal_);

    export_ = new MenuButton(this);
    export_->setObjectName(QStringLiteral("exportButton"));
    export_->setText(QStringLiteral("Export"));
    export_->setAccessibleName(QStringLiteral("Export"));
    export_->setIcon(themedIcon("document-save", QStyle::SP_DialogSaveButton));
    export_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    export_->setPopupMode(QToolButton::InstantPopup);
    export_->setAutoRaise(true);
    export_->setFocusPolicy(Qt::StrongFocus);
    exportMenu_ = new QMenu(export_);
    exportMenu_->setObjectName(QStringLiteral("exportMenu"));
    const std::pair<const char*, ExportFormat> formats[] = {
        {"Markdown (.md)", ExportFormat::markdown},
        {"Subtitles (.srt)", ExportFormat::srt},
        {"Word (.docx)", ExportFormat::word},
        {"PDF (.pdf)", ExportFormat::pdf},
    };
    for (const auto& [label, format] : formats) {
        QAction* action = exportMenu_->addAction(QString::fromUtf8(label));
        action->setObjectName(QStringLiteral("export-") +
                              QString::fromUtf8(rawValue(format).data(),
                                                static_cast<qsizetype>(rawValue(format).size())));
        connect(action, &QAction::triggered, this,
                [this, format = format] { context_.manager->live().exportTranscript(format); });
    }
    export_->setMenu(exportMenu_);
    buttons->addWidget(export_);
    buttons->addStretch(1);
    layout->addLayout(buttons);
}

void CompletedView::present(const TranscriptRecord& record) {
    file_ = record.filePath;
    const QString name = QString::fromStdString(record.filePath.filename().string());
    fileName_->setText(name);
    fileName_->setToolTip(QString::fromStdString(record.filePath.string()));
    open_->setVisible(static_cast<bool>(context_.actions.openFile));
    reveal_->setVisible(static_cast<bool>(context_.actions.revealFile));
}

} // namespace tallyvox::ui

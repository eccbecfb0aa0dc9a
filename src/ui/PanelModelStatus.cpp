#include "ui/PanelModelStatus.h"

#include "ui/PanelRows.h"
#include "ui/PanelStatus.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace tallyvox::ui {

ModelStatusView::ModelStatusView(UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context) {
    setObjectName(QStringLiteral("modelStatus"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);

    progressRow_ = new QWidget(this);
    progressRow_->setObjectName(QStringLiteral("downloadProgressRow"));
    auto* progressLayout = new QVBoxLayout(progressRow_);
    progressLayout->setContentsMargins(0, 0, 0, 0);
    progressLayout->setSpacing(2);
    progress_ = new QProgressBar(progressRow_);
    progress_->setObjectName(QStringLiteral("downloadProgress"));
    progress_->setAccessibleName(QStringLiteral("Downloading models…"));
    progress_->setRange(0, 1000);
    progress_->setTextVisible(false);
    progress_->setMaximumHeight(8);
    progressLayout->addWidget(progress_);
    auto* progressLabel = caption(QStringLiteral("Downloading models…"), progressRow_, false);
    progressLabel->setObjectName(QStringLiteral("downloadProgressLabel"));
    progressLayout->addWidget(progressLabel);
    layout->addWidget(progressRow_);

    download_ = panelButton(themedIcon("network-receive", QStyle::SP_ArrowDown), QString(),
                            QStringLiteral("downloadModelsButton"), this);
    download_->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    connect(download_, &QPushButton::clicked, this, [this] {
        context_.manager->whisper().download(SettingsManager::model(context_.stores),
                                             SettingsManager::diarize(context_.stores));
    });
    layout->addWidget(download_);
    downloadCaption_ = caption(QString(), this, true, 0.82);
    downloadCaption_->setObjectName(QStringLiteral("downloadCaption"));
    layout->addWidget(downloadCaption_);

    error_ = new Notice(QStringLiteral("downloadErrorNotice"), this);
    layout->addWidget(error_);
}

bool ModelStatusView::refresh() {
    auto& whisper = context_.manager->whisper();
    const WhisperModel model = SettingsManager::model(context_.stores);
    const bool speakers = SettingsManager::diarize(context_.stores);
    const bool downloading = whisper.downloading.get();
    const auto missing = downloading ? std::nullopt : WhisperManager::missingLabel(model, speakers);

    progressRow_->setVisible(downloading);
    const double fraction = std::clamp(whisper.progress.get(), 0.0, 1.0);
    progress_->setValue(static_cast<int>(std::lround(fraction * 1000)));

    download_->setVisible(missing.has_value());
    downloadCaption_->setVisible(missing.has_value());
    if (missing) {
        const QString title = QString::fromStdString(panel::downloadTitle(*missing));
        download_->setText(title);
        download_->setAccessibleName(title);
        downloadCaption_->setText(QString::fromStdString(panel::downloadCaption(model, speakers)));
    }

    const auto& error = whisper.downloadError.get();
    error_->setVisible(error.has_value());
    if (error)
        error_->set(QString::fromStdString(*error), panelRed());

    return downloading || missing || error;
}

} // namespace tallyvox::ui

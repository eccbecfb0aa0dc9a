#include "ui/PanelConsent.h"

#include "settings/ConsentManager.h"
#include "ui/PanelStatus.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace tallyvox::ui {

ConsentView::ConsentView(UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context) {
    setObjectName(QStringLiteral("consentView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);

    row_ = new MeetingRow(QStringLiteral("consentMeetingRow"), this);
    layout->addWidget(row_);
    confirmed_ = new WrappingCheck(
        QString::fromUtf8(ConsentManager::statement.data(), ConsentManager::statement.size()),
        QStringLiteral("consentCheck"), this);
    connect(confirmed_, &WrappingCheck::toggled, this, [this] { updateStart(); });
    layout->addWidget(confirmed_);
    tip_ = caption(QString::fromUtf8(panel::consentTip), this, true, 0.82);
    tip_->setObjectName(QStringLiteral("consentTip"));
    layout->addWidget(tip_);
    // Standing consent on file that was not honoured: without this line the user would only
    // see the consent box and wonder why automatic transcription stopped.
    ignored_ = caption(QString(), this, true, 0.82);
    ignored_->setObjectName(QStringLiteral("standingConsentIgnored"));
    layout->addWidget(ignored_);

    start_ = panelButton(themedIcon("media-record", QStyle::SP_MediaPlay),
                         QStringLiteral("Start Transcription"),
                         QStringLiteral("startTranscriptionButton"), this, true);
    start_->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    connect(start_, &QPushButton::clicked, this, [this] {
        if (!meeting_)
            return;
        const DetectedMeeting meeting = *meeting_;
        if (auto record =
                ConsentManager::confirm(meeting, confirmed_->isChecked(), context_.clock.now()))
            context_.manager->start(meeting, *record);
    });
    layout->addWidget(start_);
}

void ConsentView::present(const DetectedMeeting& meeting, bool appearing) {
    if (appearing || !meeting_ || meeting_->id() != meeting.id())
        confirmed_->setChecked(false);
    meeting_ = meeting;
    row_->set(meeting, QString::fromUtf8(panel::waitingForConsent));
    tip_->setVisible(SettingsManager::consentReminder(context_.stores));
    const auto& ignored = context_.manager->standingConsentIgnored.get();
    ignored_->setText(QString::fromStdString(ignored.value_or("")));
    ignored_->setVisible(ignored.has_value());
    updateStart();
}

void ConsentView::updateStart() {
    auto& manager = *context_.manager;
    start_->setEnabled(confirmed_->isChecked() &&
                       SettingsManager::model(context_.stores).isDownloaded() &&
                       !manager.whisper().downloading.get() && !manager.finishing.get());
}

} // namespace tallyvox::ui

#include "ui/PanelTranscribing.h"

#include "ui/PanelMarks.h"
#include "ui/PanelRows.h"
#include "ui/PanelStatus.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace tallyvox::ui {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

TranscribingView::TranscribingView(UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context) {
    setObjectName(QStringLiteral("transcribingView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);

    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    dot_ = new StatusDot(this);
    dot_->setObjectName(QStringLiteral("sessionDot"));
    header->addWidget(dot_);
    state_ = headline(QString(), this);
    state_->setObjectName(QStringLiteral("sessionState"));
    state_->setWordWrap(false);
    header->addWidget(state_);
    elapsed_ = new QLabel(this);
    elapsed_->setObjectName(QStringLiteral("sessionElapsed"));
    setTextColor(elapsed_, secondaryColor(elapsed_));
    header->addWidget(elapsed_);
    header->addStretch(1);
    layout->addLayout(header);

    auto* meetingRow = new QHBoxLayout;
    meetingRow->setSpacing(8);
    meeting_ = caption(QString(), this, false);
    meeting_->setObjectName(QStringLiteral("sessionMeeting"));
    meetingRow->addWidget(meeting_, 1);
    micState_ = new QWidget(this);
    micState_->setObjectName(QStringLiteral("micState"));
    auto* micLayout = new QHBoxLayout(micState_);
    micLayout->setContentsMargins(0, 0, 0, 0);
    micLayout->setSpacing(3);
    micIcon_ = new QLabel(micState_);
    micText_ = caption(QString(), micState_, false);
    micText_->setObjectName(QStringLiteral("micStateText"));
    micText_->setWordWrap(false);
    micLayout->addWidget(micIcon_);
    micLayout->addWidget(micText_);
    meetingRow->addWidget(micState_, 0, Qt::AlignTop);
    layout->addLayout(meetingRow);

    status_ = caption(QString(), this);
    status_->setObjectName(QStringLiteral("statusLine"));
    layout->addWidget(status_);

    level_ = new QProgressBar(this);
    level_->setObjectName(QStringLiteral("levelMeter"));
    level_->setAccessibleName(QStringLiteral("Audio level"));
    level_->setRange(0, 1000);
    level_->setTextVisible(false);
    level_->setMaximumHeight(6);
    layout->addWidget(level_);

    auto* lines = new RoundedBox(QStringLiteral("recentLines"), this);
    lines_ = lines;
    auto* linesLayout = new QVBoxLayout(lines);
    linesLayout->setContentsMargins(8, 6, 8, 6);
    linesLayout->setSpacing(3);
    for (size_t i = 0; i < lineLabels_.size(); ++i) {
        auto* label = new QLabel(lines);
        label->setObjectName(QStringLiteral("recentLine%1").arg(i));
        label->setWordWrap(true);
        label->setTextFormat(Qt::RichText);
        QFont font = label->font();
        font.setPointSizeF(font.pointSizeF() * 0.95);
        label->setFont(font);
        linesLayout->addWidget(label);
        lineLabels_[i] = label;
    }
    layout->addWidget(lines);

    micMute_ = panelButton(QIcon(), QString(), QStringLiteral("micMuteButton"), this);
    micMute_->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    connect(micMute_, &QPushButton::clicked, this, [this] { context_.manager->toggleMicMute(); });
    layout->addWidget(micMute_);

    micSilent_ = new Notice(QStringLiteral("micSilentNotice"), this);
    layout->addWidget(micSilent_);
    openMicSettings_ = linkButton(QStringLiteral("Open Microphone Settings"),
                                  QStringLiteral("openMicrophoneSettings"), this);
    connect(openMicSettings_, &QPushButton::clicked, this, [this] {
        if (context_.actions.openSystemSettings)
            context_.actions.openSystemSettings("microphone");
    });
    layout->addWidget(openMicSettings_);
    meetingMuted_ = caption(QString(), this);
    meetingMuted_->setObjectName(QStringLiteral("meetingMutedLabel"));
    layout->addWidget(meetingMuted_);
    muteProblem_ = new Notice(QStringLiteral("muteNotice"), this);
    layout->addWidget(muteProblem_);
    openAccessibilitySettings_ = linkButton(QStringLiteral("Open Accessibility Settings"),
                                            QStringLiteral("openAccessibilitySettings"), this);
    connect(openAccessibilitySettings_, &QPushButton::clicked, this, [this] {
        if (context_.actions.openSystemSettings)
            context_.actions.openSystemSettings("accessibility");
    });
    layout->addWidget(openAccessibilitySettings_);

    auto* controls = new QHBoxLayout;
    controls->setSpacing(6);
    pause_ = panelButton(QIcon(), QString(), QStringLiteral("pauseButton"), this);
    connect(pause_, &QPushButton::clicked, this, [this] { context_.manager->togglePause(); });
    controls->addWidget(pause_);
    stop_ = panelButton(themedIcon("media-playback-stop", QStyle::SP_MediaStop), QString(),
                        QStringLiteral("stopButton"), this);
    connect(stop_, &QPushButton::clicked, this, [this] {
        auto& manager = *context_.manager;
        if (!manager.session.get())
            return;
        // Standing consent would start this meeting again at once; skipping it keeps it
        // stopped for as long as it runs.
        if (manager.session.get()->consent.automatic)
            manager.skipCurrentMeeting();
        else
            manager.stop();
    });
    controls->addWidget(stop_);
    controls->addStretch(1);
    layout->addLayout(controls);
}

void TranscribingView::present(const TranscriptionSession& session) {
    auto& manager = *context_.manager;
    session_ = session;
    const bool paused = session.pausedAt.has_value();
    dot_->setColor(paused ? secondaryColor(this) : panelRed());
    state_->setText(paused ? QStringLiteral("Paused") : QStringLiteral("Transcribing"));
    meeting_->setText(qs(panel::sessionCaption(session)));

    const bool mic = manager.hasMic();
    const bool ignored = manager.micIgnored();
    micState_->setVisible(mic);
    if (mic) {
        const QColor color = ignored ? secondaryColor(this) : panelOrange();
        micText_->setText(ignored ? QStringLiteral("Mic off") : QStringLiteral("Mic on"));
        setTextColor(micText_, color);
        micIcon_->setPixmap(
            (ignored ? themedIcon("microphone-sensitivity-muted", QStyle::SP_MediaVolumeMuted)
                     : themedIcon("audio-input-microphone", QStyle::SP_MediaVolume))
                .pixmap(14, 14));
    }

    const auto& segments = manager.live().segments.get();
    lines_->setVisible(!segments.empty());
    const size_t shown = std::min(segments.size(), lineLabels_.size());
    const QString nameColor = secondaryColor(this).name(QColor::HexArgb);
    for (size_t i = 0; i < lineLabels_.size(); ++i) {
        QLabel* label = lineLabels_[i];
        label->setVisible(i < shown);
        if (i >= shown)
            continue;
        const auto& line = segments[segments.size() - shown + i];
        const QString name = qs(manager.live().speakerName(line.speaker));
        const QString text = qs(line.text);
        label->setText(QStringLiteral("<span style=\"color:%1\">%2: </span>%3")
                           .arg(nameColor, name.toHtmlEscaped(), text.toHtmlEscaped()));
        label->setAccessibleName(name + QStringLiteral(": ") + text);
    }

    micMute_->setVisible(mic);
    const bool mutedByUser = manager.micMutedByUser.get();
    micMute_->setText(mutedByUser ? QStringLiteral("Unmute Mic in Transcript")
                                  : QStringLiteral("Mute Mic in Transcript"));
    micMute_->setAccessibleName(micMute_->text());
    micMute_->setIcon(
        mutedByUser ? themedIcon("audio-input-microphone", QStyle::SP_MediaVolume)
                    : themedIcon("microphone-sensitivity-muted", QStyle::SP_MediaVolumeMuted));

    // Under the microphone button, the first problem that applies.
    enum class MicProblem { none, silent, mutedInMeeting, muteButtonUnseen, accessibilityOff };
    MicProblem problem = MicProblem::none;
    if (mic) {
        if (manager.micSilent.get())
            problem = MicProblem::silent;
        else if (manager.meetingMuted.get() == true)
            problem = MicProblem::mutedInMeeting;
        else if (SettingsManager::followMute(context_.stores) && !manager.meetingMuted.get()) {
            const auto& allowed = manager.services().muteWatcherIsAllowed;
            problem =
                allowed && allowed() ? MicProblem::muteButtonUnseen : MicProblem::accessibilityOff;
        }
    }
    const bool canOpenSettings = static_cast<bool>(context_.actions.openSystemSettings);
    micSilent_->setVisible(problem == MicProblem::silent);
    openMicSettings_->setVisible(problem == MicProblem::silent && canOpenSettings);
    if (problem == MicProblem::silent)
        micSilent_->set(QString::fromUtf8(panel::micSilentNotice), panelRed());
    meetingMuted_->setVisible(problem == MicProblem::mutedInMeeting);
    if (problem == MicProblem::mutedInMeeting)
        meetingMuted_->setText(qs(panel::meetingMutedText(session.meeting.platform)));
    muteProblem_->setVisible(problem == MicProblem::muteButtonUnseen ||
                             problem == MicProblem::accessibilityOff);
    if (problem == MicProblem::muteButtonUnseen)
        muteProblem_->set(qs(panel::muteButtonUnseenText(session.meeting)), panelOrange());
    else if (problem == MicProblem::accessibilityOff)
        muteProblem_->set(QString::fromUtf8(panel::accessibilityOffNotice), panelOrange());
    openAccessibilitySettings_->setVisible(problem == MicProblem::accessibilityOff &&
                                           canOpenSettings);

    pause_->setText(paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    pause_->setAccessibleName(pause_->text());
    pause_->setIcon(paused ? themedIcon("media-playback-start", QStyle::SP_MediaPlay)
                           : themedIcon("media-playback-pause", QStyle::SP_MediaPause));
    stop_->setText(session.consent.automatic ? QStringLiteral("Stop for This Meeting")
                                             : QStringLiteral("Stop"));
    stop_->setAccessibleName(stop_->text());
    tick();
}

void TranscribingView::tick() {
    if (!session_)
        return;
    auto& manager = *context_.manager;
    const bool paused = session_->pausedAt.has_value();
    const double elapsed = session_->elapsed(context_.clock.now());
    elapsed_->setText(qs(panel::formatElapsed(elapsed)));
    const CaptureStats stats = manager.captureStats().value_or(CaptureStats{});
    status_->setText(
        manager.modelLoading.get()
            ? QString::fromUtf8(panel::loadingModel)
            : qs(panel::status(stats, paused, elapsed, manager.hasMic() && !manager.micIgnored(),
                               manager.fallingBehind.get())));
    const double level = paused ? 0.0 : std::clamp(static_cast<double>(stats.level), 0.0, 1.0);
    level_->setValue(static_cast<int>(std::lround(level * 1000)));
}

} // namespace tallyvox::ui

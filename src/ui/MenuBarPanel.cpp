#include "ui/MenuBarPanel.h"

#include "settings/AppInfo.h"
#include "ui/PanelCompleted.h"
#include "ui/PanelConsent.h"
#include "ui/PanelMarks.h"
#include "ui/PanelModelStatus.h"
#include "ui/PanelRows.h"
#include "ui/PanelSetup.h"
#include "ui/PanelStatus.h"
#include "ui/PanelTranscribing.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace tallyvox::ui {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// Removes the rows a list container made at its last refresh.
void clearRows(QWidget* container) {
    for (QWidget* row : container->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        delete row;
}

} // namespace

MenuBarPanel::MenuBarPanel(UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context)
    , clock_(new QTimer(this)) {
    setObjectName(QStringLiteral("menuBarPanel"));
    setFixedWidth(300);
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(12, 12, 12, 12);
    layout_->setSpacing(10);
    auto& manager = *context_.manager;

    // 1. What is happening now.
    transcribing_ = new TranscribingView(context_, this);
    layout_->addWidget(transcribing_);

    finishing_ = new QWidget(this);
    finishing_->setObjectName(QStringLiteral("finishingRow"));
    {
        auto* row = new QHBoxLayout(finishing_);
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(8);
        row->addWidget(new Spinner(finishing_), 0, Qt::AlignTop);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(2);
        auto* title = headline(QString::fromUtf8(panel::finishingHeadline), finishing_);
        title->setObjectName(QStringLiteral("finishingTitle"));
        texts->addWidget(title);
        auto* note = caption(QString::fromUtf8(panel::finishingCaption), finishing_);
        note->setObjectName(QStringLiteral("finishingCaption"));
        texts->addWidget(note);
        row->addLayout(texts, 1);
    }
    layout_->addWidget(finishing_);

    completed_ = new CompletedView(context_, this);
    layout_->addWidget(completed_);
    activityDivider_ = divider(this, QStringLiteral("activityDivider"));
    layout_->addWidget(activityDivider_);

    // 2. The detected meeting, or the first-run setup.
    automaticMeeting_ = new QWidget(this);
    automaticMeeting_->setObjectName(QStringLiteral("automaticMeeting"));
    {
        auto* column = new QVBoxLayout(automaticMeeting_);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(8);
        automaticRow_ = new MeetingRow(QStringLiteral("automaticMeetingRow"), automaticMeeting_);
        column->addWidget(automaticRow_);
        transcribeAnyway_ =
            panelButton(themedIcon("media-record", QStyle::SP_MediaPlay),
                        QStringLiteral("Transcribe This Meeting"),
                        QStringLiteral("transcribeThisMeetingButton"), automaticMeeting_, true);
        transcribeAnyway_->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
        column->addWidget(transcribeAnyway_);
    }
    connect(transcribeAnyway_, &QPushButton::clicked, this, [this] {
        const auto& meetings = context_.manager->detection().meetings.get();
        if (!meetings.empty())
            context_.manager->transcribeAnyway(meetings.front());
    });
    layout_->addWidget(automaticMeeting_);

    consent_ = new ConsentView(context_, this);
    layout_->addWidget(consent_);
    modelStatus_ = new ModelStatusView(context_, this);
    layout_->addWidget(modelStatus_);

    noMeeting_ = new QWidget(this);
    noMeeting_->setObjectName(QStringLiteral("noMeeting"));
    {
        auto* row = new QHBoxLayout(noMeeting_);
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(6);
        auto* icon = new QLabel(noMeeting_);
        icon->setPixmap(themedIcon("audio-x-generic", QStyle::SP_MediaVolume).pixmap(16, 16));
        row->addWidget(icon, 0, Qt::AlignTop);
        noMeetingText_ = caption(QString(), noMeeting_, true, 1.0);
        noMeetingText_->setObjectName(QStringLiteral("noMeetingText"));
        row->addWidget(noMeetingText_, 1);
    }
    layout_->addWidget(noMeeting_);
    setup_ = new SetupView(context_, this);
    layout_->addWidget(setup_);

    // 3. Other meetings, 4.-5. problems.
    alsoDetected_ = new QWidget(this);
    alsoDetected_->setObjectName(QStringLiteral("alsoDetected"));
    new QVBoxLayout(alsoDetected_);
    alsoDetected_->layout()->setContentsMargins(0, 0, 0, 0);
    alsoDetected_->layout()->setSpacing(2);
    layout_->addWidget(alsoDetected_);
    lastError_ = new Notice(QStringLiteral("lastErrorNotice"), this);
    layout_->addWidget(lastError_);
    browserNotices_ = new QWidget(this);
    browserNotices_->setObjectName(QStringLiteral("browserNotices"));
    new QVBoxLayout(browserNotices_);
    browserNotices_->layout()->setContentsMargins(0, 0, 0, 0);
    browserNotices_->layout()->setSpacing(6);
    layout_->addWidget(browserNotices_);

    // 6. Commands.
    layout_->addWidget(divider(this, QStringLiteral("commandsDivider")));
    auto* commands = new QVBoxLayout;
    commands->setSpacing(0);
    auto command = [&](const char* icon, QStyle::StandardPixmap fallback, const QString& text,
                       const QString& name, const std::function<void()>& action) {
        auto* button = new RowButton(themedIcon(icon, fallback), text, this);
        button->setObjectName(name);
        connect(button, &RowButton::clicked, this, [action] {
            if (action)
                action();
        });
        button->setVisible(static_cast<bool>(action));
        commands->addWidget(button);
        return button;
    };
    const auto& actions = context_.actions;
    showLive_ = command("view-list-text", QStyle::SP_FileDialogDetailedView,
                        QStringLiteral("Show Live Transcript"),
                        QStringLiteral("showLiveTranscriptButton"), actions.showLiveTranscript);
    search_ = command("system-search", QStyle::SP_FileDialogContentsView,
                      QStringLiteral("Search Past Transcripts…"),
                      QStringLiteral("searchPastTranscriptsButton"), actions.showPastSearch);
    settings_ =
        command("preferences-system", QStyle::SP_FileDialogInfoView, QStringLiteral("Settings…"),
                QStringLiteral("settingsButton"), actions.showSettings);
    settings_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    quit_ = command("application-exit", QStyle::SP_DialogCloseButton,
                    QStringLiteral("Quit Tallyvox"), QStringLiteral("quitButton"), actions.quit);
    quit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    layout_->addLayout(commands);

    // 7. Which build this is, to quote in a report.
    const QString summary = qs(AppInfo::summary());
    auto* info = caption(summary, this, true, 0.82);
    info->setObjectName(QStringLiteral("appInfo"));
    info->setAccessibleName(summary);
    info->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    info->setFocusPolicy(Qt::StrongFocus);
    layout_->addWidget(info);

    // Every saved file, as it is announced: "Transcript saved" only for a file that was.
    savedFiles_ = std::make_shared<std::set<std::filesystem::path>>();
    if (const auto& saved = manager.savedTranscript.get())
        savedFiles_->insert(*saved);
    savedWatch_ = manager.savedTranscript.observe([files = savedFiles_](const auto& saved) {
        if (saved)
            files->insert(*saved);
    });

    clock_->setInterval(1000);
    connect(clock_, &QTimer::timeout, this, [this] { transcribing_->tick(); });
    watch_ = std::make_unique<ManagerWatch>(this, manager, [this] { refresh(); });
    refresh();
}

MenuBarPanel::~MenuBarPanel() = default;

void MenuBarPanel::refresh() {
    auto& manager = *context_.manager;
    const auto& session = manager.session.get();
    const bool finishing = manager.finishing.get();
    const auto& record = manager.live().record.get();
    const auto& meetings = manager.detection().meetings.get();
    const bool automatic = manager.automatic.get();

    // 1. Activity.
    transcribing_->setVisible(session.has_value());
    if (session)
        transcribing_->present(*session);
    const bool showFinishing = !session && finishing;
    const bool showCompleted = !session && !finishing && record && record->endedAt &&
                               savedFiles_->count(record->filePath) > 0;
    finishing_->setVisible(showFinishing);
    completed_->setVisible(showCompleted);
    if (showCompleted)
        completed_->present(*record);
    activityDivider_->setVisible(showFinishing || showCompleted);

    // 2. The detected meeting (only without a session).
    const std::optional<DetectedMeeting> first =
        !session && !meetings.empty() ? std::optional(meetings.front()) : std::nullopt;
    const bool showAutomatic = first && automatic;
    const bool showConsent = first && !automatic;
    const bool showIdle = !session && meetings.empty();
    const bool showSetup = showIdle && !automatic;

    automaticMeeting_->setVisible(showAutomatic);
    if (showAutomatic) {
        automaticRow_->set(
            *first, QString::fromUtf8(finishing ? panel::startsAfterSave : panel::notTranscribing));
        transcribeAnyway_->setEnabled(!finishing);
    }
    if (showConsent)
        consent_->present(*first, !consentShown_);
    consent_->setVisible(showConsent);
    consentShown_ = showConsent;
    const bool modelNews = modelStatus_->refresh();
    // Automatic transcription fetches the models as it is turned on; with no meeting yet, a
    // download under way or one that failed is still news, and the panel offers it again.
    const auto& whisper = manager.whisper();
    const bool downloadNews = whisper.downloading.get() || whisper.downloadError.get();
    modelStatus_->setVisible(modelNews && (first || (showIdle && automatic && downloadNews)));

    noMeeting_->setVisible(showIdle);
    noMeetingText_->setText(
        QString::fromUtf8(automatic ? panel::noMeetingAutomatic : panel::noMeeting));
    if (showSetup && !setupShown_)
        setup_->reset();
    setup_->setVisible(showSetup);
    setupShown_ = showSetup;

    // 3. Other detected meetings.
    const std::string current =
        session ? session->meeting.id() : (meetings.empty() ? "" : meetings.front().id());
    std::vector<std::string> also;
    for (const auto& meeting : meetings)
        if (meeting.id() != current)
            also.push_back(panel::alsoDetected(meeting));
    if (alsoShown_ != also) {
        clearRows(alsoDetected_);
        for (const auto& text : also) {
            auto* line = caption(qs(text), alsoDetected_);
            line->setObjectName(QStringLiteral("alsoDetectedLine"));
            alsoDetected_->layout()->addWidget(line);
        }
        alsoDetected_->setVisible(!also.empty());
        alsoShown_ = std::move(also);
    }

    // 4.-5. Problems.
    const auto& error = manager.lastError.get();
    lastError_->setVisible(error.has_value());
    if (error)
        lastError_->set(qs(*error), panelRed());
    const auto& denied = manager.detection().automationDenied.get();
    if (deniedShown_ != denied) {
        clearRows(browserNotices_);
        for (const auto& browser : denied) {
            auto* notice = new Notice(QStringLiteral("browserNotice"), browserNotices_);
            notice->set(qs(panel::browserUnreadable(browser)), panelOrange());
            browserNotices_->layout()->addWidget(notice);
        }
        browserNotices_->setVisible(!denied.empty());
        deniedShown_ = denied;
    }

    // 6. Commands.
    showLive_->setVisible(context_.actions.showLiveTranscript &&
                          panel::offersLiveTranscript(manager));

    updateTicking();
}

bool MenuBarPanel::isTicking() const {
    return clock_->isActive();
}

void MenuBarPanel::updateTicking() {
    const bool tick = context_.manager->session.get() && isVisible();
    if (tick && !clock_->isActive())
        clock_->start();
    else if (!tick)
        clock_->stop();
}

void MenuBarPanel::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Settings and files may have changed while the panel was away.
    refresh();
}

void MenuBarPanel::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    updateTicking();
}

} // namespace tallyvox::ui

#include "ui/LiveTranscriptWindow.h"

#include "ui/MenuText.h"

#include "transcripts/TranscriptFormat.h"
#include "transcripts/TranscriptSearch.h"
#include "ui/Accessibility.h"
#include "ui/FixWordPopover.h"
#include "ui/PanelRows.h"
#include "ui/RenamePopover.h"
#include "ui/SegmentDelegate.h"
#include "ui/SpeakersSheet.h"
#include "ui/TranscriptLines.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace tallyvox::ui {

namespace {

QPixmap dotPixmap(const QColor& color) {
    QPixmap pixmap(SegmentDelegate::dotSize, SegmentDelegate::dotSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(pixmap.rect());
    return pixmap;
}

// A centred title with an explanation, for a list with nothing to show.
QWidget* emptyState(const QIcon& icon, QLabel* title, const QString& text, const char* name) {
    auto* page = new QWidget;
    page->setObjectName(QString::fromLatin1(name));
    auto* layout = new QVBoxLayout(page);
    layout->addStretch();
    auto* symbol = new QLabel;
    symbol->setAlignment(Qt::AlignCenter);
    symbol->setObjectName(QString::fromLatin1(name) + QStringLiteral("Symbol"));
    symbol->setPixmap(icon.pixmap(48, 48));
    layout->addWidget(symbol);
    QFont big = title->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.4);
    title->setFont(big);
    title->setAlignment(Qt::AlignCenter);
    title->setWordWrap(true);
    layout->addWidget(title);
    auto* body = new QLabel(text);
    body->setAlignment(Qt::AlignCenter);
    body->setWordWrap(true);
    makeSecondary(body);
    layout->addWidget(body);
    layout->addStretch();
    return page;
}

} // namespace

LiveTranscriptWindow::LiveTranscriptWindow(UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context) {
    setObjectName(QStringLiteral("liveTranscriptWindow"));
    setAccessibleName(QStringLiteral("Live Transcript"));
    setWindowTitle(QStringLiteral("Live Transcript"));
    resize(520, 620);
    setMinimumSize(380, 300);

    auto* layout = new QVBoxLayout(this);
    auto* bar = new QHBoxLayout;
    sessionBar_ = new QWidget;
    sessionBar_->setObjectName(QStringLiteral("sessionBar"));
    auto* sessionLayout = new QHBoxLayout(sessionBar_);
    sessionLayout->setContentsMargins(0, 0, 0, 0);
    recordingDot_ = new QLabel;
    recordingDot_->setObjectName(QStringLiteral("recordingDot"));
    sessionLayout->addWidget(recordingDot_);
    elapsed_ = new QLabel;
    elapsed_->setObjectName(QStringLiteral("elapsed"));
    elapsed_->setAccessibleName(QStringLiteral("Elapsed time"));
    elapsed_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    sessionLayout->addWidget(elapsed_);
    pause_ = new QPushButton;
    pause_->setObjectName(QStringLiteral("pauseButton"));
    connect(pause_, &QPushButton::clicked, this, [this] { context_.manager->togglePause(); });
    sessionLayout->addWidget(pause_);
    speakersButton_ = new QPushButton(QIcon::fromTheme(QStringLiteral("system-users")),
                                      QStringLiteral("Speakers"));
    speakersButton_->setObjectName(QStringLiteral("speakersButton"));
    speakersButton_->setAccessibleName(QStringLiteral("Speakers"));
    speakersButton_->setToolTip(QStringLiteral("Names, merge and split"));
    connect(speakersButton_, &QPushButton::clicked, this, [this] { openSpeakers(); });
    sessionLayout->addWidget(speakersButton_);
    bar->addWidget(sessionBar_);
    bar->addStretch();
    search_ = new QLineEdit;
    search_->setObjectName(QStringLiteral("searchField"));
    search_->setAccessibleName(QStringLiteral("Search transcript"));
    search_->setPlaceholderText(QStringLiteral("Search transcript"));
    search_->setClearButtonEnabled(true);
    nameClearButton(search_, QStringLiteral("Clear search"));
    search_->setMinimumWidth(160);
    connect(search_, &QLineEdit::textChanged, this, [this] { refresh(); });
    bar->addWidget(search_, 1);
    layout->addLayout(bar);
    auto* find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        search_->setFocus(Qt::ShortcutFocusReason);
        search_->selectAll();
    });

    pages_ = new QStackedWidget;
    model_ = new TranscriptLineModel(this);
    list_ = new QListView;
    list_->setObjectName(QStringLiteral("transcriptLines"));
    list_->setAccessibleName(QStringLiteral("Transcript"));
    list_->setAccessibleDescription(QStringLiteral(
        "Return renames the line's speaker; the context menu fixes a word or assigns the line"));
    list_->setModel(model_);
    delegate_ = new SegmentDelegate(*model_, list_, this);
    list_->setItemDelegate(delegate_);
    list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setResizeMode(QListView::Adjust);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setMouseTracking(true);
    list_->installEventFilter(this);
    list_->viewport()->installEventFilter(this);
    connect(delegate_, &SegmentDelegate::nameClicked, this,
            [this](const QModelIndex& index, const QRect&) { openRename(index.row()); });
    auto* scrollBar = list_->verticalScrollBar();
    // New lines glide into view (0.2 s, easing out) rather than jump.
    follow_ = new QPropertyAnimation(scrollBar, "value", this);
    follow_->setDuration(200);
    follow_->setEasingCurve(QEasingCurve::OutCubic);
    connect(scrollBar, &QScrollBar::valueChanged, this, [this] { scrolled(); });
    // Rows that arrive or re-wrap keep the newest line at the bottom while following.
    connect(scrollBar, &QScrollBar::rangeChanged, this, [this] {
        if (followLatest_ && query().empty())
            scrollToLatest();
    });
    pages_->addWidget(list_);
    emptyPage_ = emptyState(themedIcon("insert-text", QStyle::SP_FileDialogDetailedView),
                            new QLabel(QStringLiteral("No Transcript Yet")),
                            QStringLiteral("Lines appear here a few seconds after people speak."),
                            "noTranscript");
    pages_->addWidget(emptyPage_);
    noResultsTitle_ = new QLabel;
    noResultsTitle_->setObjectName(QStringLiteral("noResultsTitle"));
    noResultsPage_ =
        emptyState(themedIcon("edit-find", QStyle::SP_FileDialogContentsView), noResultsTitle_,
                   QStringLiteral("Check the spelling or try a new search."), "noResults");
    pages_->addWidget(noResultsPage_);
    layout->addWidget(pages_, 1);

    status_ = new QLabel;
    status_->setObjectName(QStringLiteral("status"));
    makeSecondary(status_);
    layout->addWidget(status_);

    setTabOrder(search_, pause_);
    setTabOrder(pause_, speakersButton_);
    setTabOrder(speakersButton_, list_);

    ticker_ = new QTimer(this);
    ticker_->setInterval(1000);
    connect(ticker_, &QTimer::timeout, this, [this] { refreshToolbar(); });

    watch_ = std::make_unique<ManagerWatch>(this, *context_.manager, [this] { refresh(); });
    refresh();
    search_->setFocus();
}

LiveTranscriptWindow::~LiveTranscriptWindow() = default;

RenamePopover* LiveTranscriptWindow::renamePopover() const {
    return rename_;
}
FixWordPopover* LiveTranscriptWindow::fixWordPopover() const {
    return fixWord_;
}
SpeakersSheet* LiveTranscriptWindow::speakersSheet() const {
    return speakers_;
}

std::string LiveTranscriptWindow::query() const {
    return TranscriptSearch::cleaned(search_->text().toStdString());
}

QString LiveTranscriptWindow::subtitle() const {
    const auto& manager = *context_.manager;
    if (auto q = query(); !q.empty())
        return QStringLiteral("%1 of %2 lines")
            .arg(model_->rowCount())
            .arg(manager.live().segments.get().size());
    const auto& session = manager.session.get();
    if (!session)
        return QStringLiteral("Not transcribing");
    return (session->pausedAt ? QStringLiteral("Paused") : QStringLiteral("Transcribing")) +
           QStringLiteral(" · ") +
           QString::fromStdString(std::string(rawValue(session->meeting.platform)));
}

void LiveTranscriptWindow::refresh() {
    const auto& manager = *context_.manager;
    auto q = query();
    updating_ = true;
    auto change = model_->setRows(transcriptRows(manager.live(), q));
    // Edited lines may wrap differently; heights are only measured again on a layout.
    if (change == TranscriptLineModel::Change::edited)
        list_->doItemsLayout();
    auto count = manager.live().segments.get().size();
    bool countChanged = count != lineCount_;
    bool queryCleared = q.empty() && !lastQuery_.empty();
    lineCount_ = count;
    lastQuery_ = q;
    if (count == 0) {
        pages_->setCurrentWidget(emptyPage_);
    } else if (model_->rowCount() == 0) {
        noResultsTitle_->setText(
            QStringLiteral("No Results for “%1”").arg(QString::fromStdString(q)));
        pages_->setCurrentWidget(noResultsPage_);
    } else {
        pages_->setCurrentWidget(list_);
    }
    if (followLatest_ && q.empty() && (countChanged || queryCleared))
        scrollToLatest();
    updating_ = false;

    auto sub = subtitle();
    status_->setText(sub);
    status_->setAccessibleName(sub);
    setWindowTitle(QStringLiteral("Live Transcript — ") + sub);
    refreshToolbar();
}

void LiveTranscriptWindow::refreshToolbar() {
    const auto& session = context_.manager->session.get();
    sessionBar_->setVisible(session.has_value());
    if (!session) {
        ticker_->stop();
        return;
    }
    if (!ticker_->isActive())
        ticker_->start();
    bool paused = session->pausedAt.has_value();
    recordingDot_->setPixmap(dotPixmap(paused ? QColor(142, 142, 147) : QColor(255, 59, 48)));
    recordingDot_->setAccessibleName(paused ? QStringLiteral("Paused")
                                            : QStringLiteral("Transcribing"));
    elapsed_->setText(QString::fromStdString(
        TranscriptFormat::timestamp(session->elapsed(context_.clock.now()))));
    auto label = paused ? QStringLiteral("Resume") : QStringLiteral("Pause");
    if (pause_->text() != label) {
        pause_->setText(label);
        pause_->setAccessibleName(label);
        pause_->setIcon(paused ? themedIcon("media-playback-start", QStyle::SP_MediaPlay)
                               : themedIcon("media-playback-pause", QStyle::SP_MediaPause));
    }
}

bool LiveTranscriptWindow::isScrollingToLatest() const {
    return follow_->state() == QAbstractAnimation::Running;
}

void LiveTranscriptWindow::scrollToLatest() {
    // The desktop's wish comes from the app (its settings portal): Qt's own effects switch is
    // off wherever no platform theme sets it, which would keep every desktop still.
    const bool still = context_.actions.reduceMotion && context_.actions.reduceMotion();
    auto* bar = list_->verticalScrollBar();
    if (still) {
        follow_->stop();
        list_->scrollToBottom();
        return;
    }
    if (bar->value() == bar->maximum() && !isScrollingToLatest())
        return;
    follow_->stop();
    follow_->setStartValue(bar->value());
    follow_->setEndValue(bar->maximum());
    follow_->start();
}

void LiveTranscriptWindow::scrolled() {
    if (updating_ || isScrollingToLatest())
        return;
    const auto& lines = context_.manager->live().segments.get();
    if (lines.empty())
        return;
    // Only the last line of the whole transcript decides; while a search hides it, following
    // stays as it was.
    int last = model_->rowOf(lines.back().id);
    if (last < 0)
        return;
    QRect rect = list_->visualRect(model_->index(last));
    followLatest_ = rect.isValid() && rect.intersects(list_->viewport()->rect());
}

bool LiveTranscriptWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ContextMenu &&
        (watched == list_ || watched == list_->viewport())) {
        auto* menuEvent = static_cast<QContextMenuEvent*>(event);
        QModelIndex index;
        QPoint at;
        if (watched == list_->viewport() && menuEvent->reason() != QContextMenuEvent::Keyboard) {
            index = list_->indexAt(menuEvent->pos());
            at = menuEvent->globalPos();
        } else {
            index = list_->currentIndex();
            at = list_->viewport()->mapToGlobal(list_->visualRect(index).topLeft());
        }
        if (index.isValid()) {
            list_->setCurrentIndex(index);
            lineMenu(index.row())->exec(at);
        }
        return true;
    }
    // The speaker's name is a button: the pointer says so.
    if (event->type() == QEvent::MouseMove && watched == list_->viewport()) {
        const QPoint at = static_cast<QMouseEvent*>(event)->position().toPoint();
        const QModelIndex index = list_->indexAt(at);
        const bool onName = delegate_->nameRect(list_->visualRect(index), index).contains(at);
        list_->viewport()->setCursor(onName ? Qt::PointingHandCursor : Qt::ArrowCursor);
    }
    if (event->type() == QEvent::KeyPress && watched == list_) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter ||
            key->key() == Qt::Key_F2) {
            if (auto index = list_->currentIndex(); index.isValid())
                openRename(index.row());
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

std::unique_ptr<QMenu> LiveTranscriptWindow::lineMenu(int row) {
    auto menu = std::make_unique<QMenu>();
    menu->setObjectName(QStringLiteral("lineMenu"));
    auto id = model_->row(row).id;
    menu->addAction(QStringLiteral("Fix a Word…"), this, [this, id] {
        if (int at = model_->rowOf(id); at >= 0)
            openFixWord(at);
    });
    auto* assign = menu->addMenu(QStringLiteral("Assign Line To"));
    assign->setObjectName(QStringLiteral("assignLineTo"));
    auto manager = context_.manager;
    for (int speaker : manager->live().knownSpeakers())
        assign->addAction(menuText(manager->live().speakerName(speaker)), this,
                          [manager, id, speaker] { manager->live().reassign(id, speaker); });
    assign->addSeparator();
    assign->addAction(QStringLiteral("New Speaker"), this,
                      [manager, id] { manager->live().reassign(id, std::nullopt); });
    return menu;
}

void LiveTranscriptWindow::showAt(QWidget* popover, int row) {
    auto index = model_->index(row);
    QRect rect = delegate_->nameRect(list_->visualRect(index), index);
    if (rect.isEmpty())
        rect = list_->visualRect(index);
    popover->setAttribute(Qt::WA_DeleteOnClose);
    popover->adjustSize();
    popover->move(list_->viewport()->mapToGlobal(rect.bottomLeft()));
    popover->show();
    popover->activateWindow();
}

RenamePopover* LiveTranscriptWindow::openRename(int row) {
    if (row < 0 || row >= model_->rowCount())
        return nullptr;
    const auto& line = model_->row(row);
    if (rename_)
        rename_->close();
    rename_ = new RenamePopover(context_.manager->live(), line.speaker, line.id, this);
    showAt(rename_, row);
    return rename_;
}

FixWordPopover* LiveTranscriptWindow::openFixWord(int row) {
    if (row < 0 || row >= model_->rowCount())
        return nullptr;
    if (fixWord_)
        fixWord_->close();
    fixWord_ = new FixWordPopover(context_.manager->live(), this);
    showAt(fixWord_, row);
    return fixWord_;
}

SpeakersSheet* LiveTranscriptWindow::openSpeakers() {
    if (!speakers_) {
        speakers_ = new SpeakersSheet(context_.manager->live(), this);
        speakers_->setAttribute(Qt::WA_DeleteOnClose);
    }
    speakers_->show();
    speakers_->raise();
    return speakers_;
}

} // namespace tallyvox::ui

#include "ui/PastSearchWindow.h"

#include "ui/PanelRows.h"
#include "ui/PanelStatus.h"

#include "settings/SettingsManager.h"
#include "transcripts/TranscriptSearch.h"
#include "ui/Accessibility.h"

#include <QAction>
#include <QCloseEvent>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QScrollArea>
#include <QStackedWidget>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QTimer>
#include <QVBoxLayout>

namespace tallyvox::ui {

namespace {

QString qt(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QLabel* label(const QString& text, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    // Clicks go to the row, which is the button.
    l->setAttribute(Qt::WA_TransparentForMouseEvents);
    return l;
}

// A centred panel: an icon, a title and a line of explanation.
QWidget* statePage(const QString& name, const QIcon& icon, const QString& title,
                   const QString& text, QLabel** titleLabel = nullptr) {
    auto* page = new QWidget;
    page->setObjectName(name);
    auto* layout = new QVBoxLayout(page);
    layout->addStretch();
    if (!icon.isNull()) {
        auto* image = new QLabel(page);
        image->setPixmap(icon.pixmap(48, 48));
        image->setAlignment(Qt::AlignCenter);
        layout->addWidget(image);
    }
    auto* heading = new QLabel(title, page);
    heading->setObjectName(name + "Title");
    QFont big = heading->font();
    big.setPointSizeF(big.pointSizeF() * 1.3);
    big.setBold(true);
    heading->setFont(big);
    heading->setAlignment(Qt::AlignCenter);
    heading->setWordWrap(true);
    layout->addWidget(heading);
    if (!text.isEmpty()) {
        auto* body = new QLabel(text, page);
        body->setObjectName(name + "Text");
        body->setAlignment(Qt::AlignCenter);
        body->setWordWrap(true);
        makeSecondary(body);
        layout->addWidget(body);
    }
    layout->addStretch();
    if (titleLabel)
        *titleLabel = heading;
    return page;
}

} // namespace

QString highlightedHtml(const std::string& text, const std::vector<std::string>& terms) {
    QString html;
    std::size_t at = 0;
    for (const auto& range : TranscriptSearch::highlights(text, terms)) {
        html += qt(std::string_view(text).substr(at, range.begin - at)).toHtmlEscaped();
        html += QStringLiteral("<span style=\"font-weight:bold; "
                               "background-color:rgba(255,255,0,35%);\">");
        html +=
            qt(std::string_view(text).substr(range.begin, range.end - range.begin)).toHtmlEscaped();
        html += QStringLiteral("</span>");
        at = range.end;
    }
    html += qt(std::string_view(text).substr(at)).toHtmlEscaped();
    return html;
}

PastHitButton::PastHitButton(const PastHit& hit, const std::vector<std::string>& terms,
                             QWidget* parent)
    : QAbstractButton(parent) {
    setObjectName(QStringLiteral("pastHit"));
    setToolTip(QStringLiteral("Open this transcript"));
    setCursor(Qt::PointingHandCursor);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 6, 8, 6);
    layout->setSpacing(2);

    const QString meta = qt(hit.meeting) + QStringLiteral(" · ") + qt(hit.date) +
                         QStringLiteral(" · ") + qt(hit.time);
    auto* metaLabel = label(meta, this);
    metaLabel->setObjectName(QStringLiteral("pastHitMeta"));
    QFont caption = metaLabel->font();
    caption.setPointSizeF(caption.pointSizeF() * 0.85);
    metaLabel->setFont(caption);
    makeSecondary(metaLabel);
    metaLabel->setTextFormat(Qt::PlainText);
    // One line; the row never grows wider for a long meeting title.
    metaLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    layout->addWidget(metaLabel);

    if (!hit.speaker.empty()) {
        auto* speaker = label(highlightedHtml(hit.speaker, terms), this);
        speaker->setObjectName(QStringLiteral("pastHitSpeaker"));
        speaker->setTextFormat(Qt::RichText);
        QFont semibold = speaker->font();
        semibold.setPointSizeF(semibold.pointSizeF() * 0.92);
        semibold.setWeight(QFont::DemiBold);
        speaker->setFont(semibold);
        layout->addWidget(speaker);
    }
    auto* text = label(highlightedHtml(hit.text, terms), this);
    text->setObjectName(QStringLiteral("pastHitText"));
    text->setTextFormat(Qt::RichText);
    text->setWordWrap(true);
    layout->addWidget(text);

    QString spoken = qt(hit.speaker.empty() ? hit.text : hit.speaker + ": " + hit.text);
    setAccessibleName(spoken);
    setAccessibleDescription(meta + QStringLiteral(". Open this transcript"));
}

QSize PastHitButton::sizeHint() const {
    return layout()->sizeHint();
}

void PastHitButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (isDown() || underMouse())
        painter.fillRect(rect(), palette().color(QPalette::Midlight));
    if (hasFocus()) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
}

PastSearchWindow::PastSearchWindow(UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context) {
    setObjectName(QStringLiteral("pastSearchWindow"));
    setWindowTitle(QStringLiteral("Past Transcripts"));
    setAccessibleName(QStringLiteral("Past Transcripts"));
    setMinimumSize(420, 300);
    resize(620, 520);

    auto* layout = new QVBoxLayout(this);
    field_ = new QLineEdit(this);
    field_->setObjectName(QStringLiteral("pastSearchField"));
    field_->setAccessibleName(QStringLiteral("Search past transcripts"));
    field_->setPlaceholderText(QString::fromUtf8(PastSearch::prompt));
    field_->setClearButtonEnabled(true);
    nameClearButton(field_, QStringLiteral("Clear search"));
    layout->addWidget(field_);

    // Ctrl+F goes back to the search field from anywhere in the window.
    auto* find = new QAction(QStringLiteral("Find"), this);
    find->setObjectName(QStringLiteral("findAction"));
    find->setShortcut(QKeySequence::Find);
    find->setShortcutContext(Qt::WindowShortcut);
    connect(find, &QAction::triggered, this, [this] {
        field_->setFocus(Qt::ShortcutFocusReason);
        field_->selectAll();
    });
    addAction(find);

    summary_ = new QLabel(this);
    summary_->setObjectName(QStringLiteral("pastSearchSummary"));
    summary_->setAccessibleName(QStringLiteral("Matches"));
    makeSecondary(summary_);
    layout->addWidget(summary_);

    pages_ = new QStackedWidget(this);
    const QIcon magnifier = QIcon::fromTheme(
        QStringLiteral("edit-find"), style()->standardIcon(QStyle::SP_FileDialogContentsView));
    startPage_ = statePage(QStringLiteral("pastSearchStart"), magnifier,
                           QString::fromUtf8(PastSearch::emptyTitle),
                           QString::fromUtf8(PastSearch::emptyText));
    searchingPage_ =
        statePage(QStringLiteral("pastSearchSearching"), {}, QStringLiteral("Searching…"), {});
    noHitsPage_ =
        statePage(QStringLiteral("pastSearchNoHits"), magnifier, {},
                  QStringLiteral("Check the spelling or try a new search."), &noHitsTitle_);
    auto* scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("pastSearchHits"));
    scroll->setAccessibleName(QStringLiteral("Matches"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    listPage_ = new QWidget;
    list_ = new QVBoxLayout(listPage_);
    list_->setSpacing(2);
    scroll->setWidget(listPage_);
    for (auto* page : {startPage_, searchingPage_, noHitsPage_, static_cast<QWidget*>(scroll)})
        pages_->addWidget(page);
    layout->addWidget(pages_, 1);

    debounce_ = new QTimer(this);
    debounce_->setSingleShot(true);
    debounce_->setInterval(debounceMs);
    connect(debounce_, &QTimer::timeout, this, [this] { searchNow(); });
    connect(field_, &QLineEdit::textChanged, this, [this] { queryChanged(); });
    rebuild();
}

PastSearchWindow::~PastSearchWindow() {
    searcher_.cancel();
}

void PastSearchWindow::closeEvent(QCloseEvent* event) {
    // Closing ends the search and forgets what it found.
    debounce_->stop();
    searcher_.cancel();
    hits_.clear();
    searched_.clear();
    fillList();
    field_->clear();
    QWidget::closeEvent(event);
}

void PastSearchWindow::queryChanged() {
    searcher_.cancel();
    if (PastSearch::terms(field_->text().toStdString()).empty()) {
        debounce_->stop();
        hits_.clear();
        searched_.clear();
        fillList();
    } else {
        debounce_->start();
    }
    rebuild();
}

void PastSearchWindow::searchNow() {
    const std::string query = field_->text().toStdString();
    searcher_.start(SettingsManager::saveRoot(context_.stores), query,
                    [this, query](std::vector<PastHit> hits) { showHits(std::move(hits), query); });
}

void PastSearchWindow::showHits(std::vector<PastHit> hits, const std::string& query) {
    hits_ = std::move(hits);
    searched_ = query;
    fillList();
    rebuild();
}

void PastSearchWindow::rebuild() {
    const std::string query = field_->text().toStdString();
    const auto terms = PastSearch::terms(query);
    State next;
    if (terms.empty())
        next = State::start;
    else if (!hits_.empty())
        next = State::hits; // earlier hits stay until the new ones arrive
    else if (searched_ == query)
        next = State::noHits;
    else
        next = State::searching;
    summary_->setText(QString::fromStdString(PastSearch::summary(hits_.size())));

    if (next == State::noHits)
        noHitsTitle_->setText(QStringLiteral("No Results for “") + field_->text().trimmed() +
                              QStringLiteral("”"));
    state_ = next;
    switch (next) {
    case State::start:
        pages_->setCurrentWidget(startPage_);
        break;
    case State::searching:
        pages_->setCurrentWidget(searchingPage_);
        break;
    case State::noHits:
        pages_->setCurrentWidget(noHitsPage_);
        break;
    case State::hits:
        pages_->setCurrentIndex(3);
        break;
    }
}

void PastSearchWindow::fillList() {
    while (auto* item = list_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const auto shownTerms = PastSearch::terms(searched_);
    for (const auto& hit : hits_) {
        auto* button = new PastHitButton(hit, shownTerms, listPage_);
        connect(button, &QAbstractButton::clicked, this, [this, file = hit.file] {
            if (context_.actions.openFile)
                if (auto why = context_.actions.openFile(file))
                    context_.manager->lastError.set(ui::panel::couldNotOpen(file, *why));
        });
        list_->addWidget(button);
    }
    list_->addStretch();
}

} // namespace tallyvox::ui

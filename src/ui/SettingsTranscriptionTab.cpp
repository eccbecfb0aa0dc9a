#include "ui/SettingsTranscriptionTab.h"

#include "settings/SettingsTable.h"
#include "transcription/PromptText.h"
#include "ui/Palette.h"
#include "ui/SettingsOptions.h"

#include <QAction>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace tallyvox::ui {

using namespace SettingsForm;
namespace Key = SettingsManager::Key;

namespace {

constexpr int progressSteps = 1000;

void selectData(QComboBox* box, const QString& data, const QString& unlistedText) {
    int index = box->findData(data);
    QSignalBlocker blocker(box);
    // A value no choice stands for keeps one row of its own at the end while it is stored.
    const int listed = box->property("listedCount").toInt();
    while (box->count() > listed)
        box->removeItem(box->count() - 1);
    if (index < 0 || index >= listed) {
        box->addItem(unlistedText, data);
        index = box->count() - 1;
    }
    box->setCurrentIndex(index);
}

// Lines the text takes at this width, wrapped the way the editor wraps it.
int wrappedLines(const QString& text, const QFont& font, qreal width) {
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    int lines = 0;
    for (const QString& paragraph : text.split(QLatin1Char('\n'))) {
        QTextLayout layout(paragraph, font);
        layout.setTextOption(option);
        layout.beginLayout();
        int paragraphLines = 0;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            ++paragraphLines;
        }
        layout.endLayout();
        lines += std::max(paragraphLines, 1);
    }
    return lines;
}

} // namespace

SettingsTranscriptionTab::SettingsTranscriptionTab(UiContext& context, QWidget* parent)
    : QWidget(parent)
    , context_(context) {
    setObjectName(QStringLiteral("transcriptionSettings"));
    build();
    refresh();
    syncFromDefaults();
    syncFromManager();
    watch_ = std::make_unique<DefaultsWatch>(this, context_.stores.defaults,
                                             [this] { syncFromDefaults(); });
    managerWatch_ =
        std::make_unique<ManagerWatch>(this, *context_.manager, [this] { syncFromManager(); });
}

void SettingsTranscriptionTab::build() {
    auto* layout = new QVBoxLayout(this);
    buildModelSection(layout);
    buildSpeakersSection(layout);
    buildMicSection(layout);
    layout->addStretch(1);
}

void SettingsTranscriptionTab::buildModelSection(QVBoxLayout* layout) {
    auto* models = section(QString(), this, "modelSection");
    modelRows_ = rows(models);
    model_ = picker("model", QStringLiteral("Whisper model"));
    for (const auto& model : WhisperModel::all())
        model_->addItem(QString(), text(model.rawValue()));
    model_->setProperty("listedCount", model_->count());
    connect(model_, &QComboBox::activated, this, [this](int index) {
        SettingsForm::store(context_.stores, Key::model,
                            PlistValue(model_->itemData(index).toString().toStdString()));
        syncFromManager();
    });
    modelRows_->addRow(rowLabel(QStringLiteral("Whisper model"), model_), model_);

    progressRow_ = new QWidget;
    auto* progressLayout = new QHBoxLayout(progressRow_);
    progressLayout->setContentsMargins(0, 0, 0, 0);
    progress_ = named(new QProgressBar, "downloadProgress", QStringLiteral("Downloading…"));
    progress_->setRange(0, progressSteps);
    progress_->setTextVisible(false);
    progressLayout->addWidget(progress_, 1);
    progressLayout->addWidget(new QLabel(QStringLiteral("Downloading…")));
    modelRows_->addRow(progressRow_);

    download_ = named(new QPushButton, "download", QString());
    connect(download_, &QPushButton::clicked, this, [this] {
        context_.manager->whisper().download(SettingsManager::model(context_.stores),
                                             SettingsManager::diarize(context_.stores));
    });
    modelRows_->addRow(download_);
    downloadError_ = redNotice("downloadError");
    modelRows_->addRow(downloadError_);

    language_ = picker("language", QStringLiteral("Language"));
    for (const auto& language : SettingsOptions::languages())
        language_->addItem(text(language.shown), text(language.stored));
    language_->setProperty("listedCount", language_->count());
    connect(language_, &QComboBox::activated, this, [this](int index) {
        SettingsForm::store(context_.stores, Key::language,
                            PlistValue(language_->itemData(index).toString().toStdString()));
    });
    modelRows_->addRow(rowLabel(QStringLiteral("Language"), language_), language_);
    useGPU_ = toggle(QStringLiteral("Use the graphics processor when it works"), "useGPU");
    connect(useGPU_, &QCheckBox::toggled, this,
            [this](bool on) { SettingsForm::store(context_.stores, Key::useGPU, PlistValue(on)); });
    modelRows_->addRow(useGPU_);
    modelRows_->addRow(footer(QStringLiteral(
        "Larger models are more accurate but slower. Recommended is based on this computer's "
        "memory and measured speed. Changes apply to the next transcription.")));
    layout->addWidget(models);
}

void SettingsTranscriptionTab::buildSpeakersSection(QVBoxLayout* layout) {
    auto* speakers = section(QString(), this, "speakersSection");
    speakerRows_ = rows(speakers);
    diarize_ = toggle(QStringLiteral("Label speakers (Speaker A, Speaker B…)"), "diarize");
    connect(diarize_, &QCheckBox::toggled, this, [this](bool on) {
        SettingsForm::store(context_.stores, Key::diarize, PlistValue(on));
    });
    speakerRows_->addRow(diarize_);

    auto* chunkRow = new QWidget;
    auto* chunkLayout = new QHBoxLayout(chunkRow);
    chunkLayout->setContentsMargins(0, 0, 0, 0);
    chunk_ =
        named(new QSlider(Qt::Horizontal), "chunkSeconds", QStringLiteral("Update text every"));
    chunk_->setRange(SettingsOptions::minChunkSeconds(), SettingsOptions::maxChunkSeconds());
    chunk_->setSingleStep(1);
    chunk_->setPageStep(1);
    chunk_->setFixedWidth(180);
    chunkValue_ = new QLabel;
    chunkValue_->setObjectName(QStringLiteral("chunkSecondsValue"));
    chunkValue_->setFixedWidth(36);
    connect(chunk_, &QSlider::valueChanged, this, [this](int seconds) {
        chunkValue_->setText(QString::number(seconds) + QStringLiteral(" s"));
        chunk_->setAccessibleDescription(chunkValue_->text());
        SettingsForm::store(context_.stores, Key::chunkSeconds, PlistValue(double(seconds)));
    });
    chunkLayout->addWidget(chunk_);
    chunkLayout->addWidget(chunkValue_);
    chunkLayout->addStretch(1);
    speakerRows_->addRow(rowLabel(QStringLiteral("Update text every"), chunk_), chunkRow);

    vocabulary_ = named(new QPlainTextEdit, "vocabulary", QStringLiteral("Vocabulary"));
    const std::size_t limit = SettingsTable::find(Key::vocabulary)->maxCharacters;
    const QString most = QString::number(limit);
    vocabulary_->setPlaceholderText(
        QStringLiteral("Names, products, jargon… (up to %1 characters)").arg(most));
    vocabulary_->setToolTip(
        QStringLiteral("Up to %1 characters; Whisper reads only so much before each window.")
            .arg(most));
    vocabulary_->setTabChangesFocus(true);
    // Its width decides how many lines the text wraps to.
    vocabulary_->installEventFilter(this);
    connect(vocabulary_, &QPlainTextEdit::textChanged, this, [this, limit] {
        std::string text = vocabulary_->toPlainText().toStdString();
        // Typed or pasted beyond the limit: the field keeps what is stored.
        if (PromptText::characters(text) > limit) {
            text = PromptText::firstCharacters(text, limit);
            QSignalBlocker blocker(vocabulary_);
            vocabulary_->setPlainText(QString::fromStdString(text));
            vocabulary_->moveCursor(QTextCursor::End);
        }
        fitVocabulary();
        if (context_.stores.defaults.stringValue(Key::vocabulary) != text)
            SettingsForm::store(context_.stores, Key::vocabulary, PlistValue(text));
    });
    speakerRows_->addRow(rowLabel(QStringLiteral("Vocabulary"), vocabulary_), vocabulary_);

    learnedBox_ = new QWidget;
    learnedBox_->setObjectName(QStringLiteral("learnedWords"));
    auto* learnedLayout = new QVBoxLayout(learnedBox_);
    learnedLayout->setContentsMargins(0, 0, 0, 0);
    speakerRows_->addRow(learnedBox_);

    forgetAll_ = named(new QPushButton(QStringLiteral("Forget All Fixed Words")), "forgetAllWords",
                       QStringLiteral("Forget All Fixed Words"));
    QPalette destructive = forgetAll_->palette();
    destructive.setColor(QPalette::ButtonText, errorTextColor(destructive));
    forgetAll_->setPalette(destructive);
    connect(forgetAll_, &QPushButton::clicked, this, [this] {
        SettingsManager::forgetAllWords(context_.stores);
        refresh();
    });
    speakerRows_->addRow(forgetAll_);
    speakerRows_->addRow(footer(QStringLiteral(
        "Speaker labels are anonymous; rename them in the live transcript. Shorter times show "
        "text sooner. Vocabulary helps Whisper spell your terms. A word you fix twice is "
        "learned; right-click it to forget it.")));
    layout->addWidget(speakers);
}

void SettingsTranscriptionTab::buildMicSection(QVBoxLayout* layout) {
    auto* mic = section(QString(), this, "microphoneSection");
    includeMicBox_ = toggle(QStringLiteral("Include my microphone"), "includeMic");
    connect(includeMicBox_, &QCheckBox::toggled, this, [this](bool on) { changeIncludeMic(on); });
    rows(mic)->addRow(includeMicBox_);
    followMuteBox_ =
        toggle(QStringLiteral("Ignore my mic while muted in the meeting"), "followMute");
    connect(followMuteBox_, &QCheckBox::toggled, this, [this](bool on) { changeFollowMute(on); });
    rows(mic)->addRow(followMuteBox_);
    rows(mic)->addRow(footer(QStringLiteral(
        "Meeting apps don't play your own voice back, so turn this on to transcribe it. Use "
        "headphones to avoid echo. Following mute needs assistive technologies turned on in the "
        "desktop's accessibility settings and reads only the mute button in the meeting app or "
        "the meeting's browser tab.")));
    layout->addWidget(mic);
}

void SettingsTranscriptionTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refresh();
    syncFromManager();
}

void SettingsTranscriptionTab::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitVocabulary();
}

void SettingsTranscriptionTab::refresh() {
    includeMic_ = SettingsManager::includeMic(context_.stores);
    followMute_ = SettingsManager::followMute(context_.stores);
    learned_ = SettingsManager::learnedWords(context_.stores);
    hasFixMemory_ = SettingsManager::hasFixMemory(context_.stores);
    setChecked(includeMicBox_, includeMic_);
    setChecked(followMuteBox_, followMute_);
    followMuteBox_->setEnabled(includeMic_);
    rebuildLearnedWords(learned_);
    speakerRows_->setRowVisible(forgetAll_, hasFixMemory_);
}

void SettingsTranscriptionTab::syncFromDefaults() {
    const auto& stores = context_.stores;
    const auto model = SettingsManager::model(stores);
    {
        QSignalBlocker blocker(model_);
        model_->setCurrentIndex(model_->findData(text(model.rawValue())));
    }
    const std::string language = stores.defaults.stringValue(Key::language);
    selectData(language_, QString::fromStdString(language),
               text(SettingsOptions::unlistedLanguage(language)));
    setChecked(diarize_, SettingsManager::diarize(stores));
    setChecked(useGPU_, SettingsManager::useGPU(stores));
    {
        QSignalBlocker blocker(chunk_);
        chunk_->setValue(
            SettingsOptions::sliderSeconds(stores.defaults.doubleValue(Key::chunkSeconds)));
    }
    chunkValue_->setText(QString::number(chunk_->value()) + QStringLiteral(" s"));
    chunk_->setAccessibleDescription(chunkValue_->text());
    // Only a change from elsewhere replaces the text, so typing keeps its cursor.
    const auto vocabulary = QString::fromStdString(stores.defaults.stringValue(Key::vocabulary));
    if (vocabulary_->toPlainText() != vocabulary) {
        QSignalBlocker blocker(vocabulary_);
        vocabulary_->setPlainText(vocabulary);
    }
    fitVocabulary();
    syncFromManager();
}

void SettingsTranscriptionTab::syncFromManager() {
    auto& whisper = context_.manager->whisper();
    const auto recommended = context_.manager->recommendedModel();
    const auto selected = SettingsManager::model(context_.stores);
    // The quantised copies made on this computer follow the originals; the chosen one stays
    // listed while chosen, even with its copy gone (its original is loaded then).
    std::vector<WhisperModel> offered = WhisperModel::all();
    for (auto model : WhisperModel::all())
        for (auto variant : model.variants())
            if (variant == selected || fileSizeOrZero(variant.copyPath()) > 0)
                offered.push_back(variant);
    {
        QSignalBlocker blocker(model_);
        while (model_->count() > static_cast<int>(offered.size()))
            model_->removeItem(model_->count() - 1);
        for (int i = 0; i < static_cast<int>(offered.size()); ++i) {
            const auto& model = offered[static_cast<size_t>(i)];
            const auto row =
                text(SettingsOptions::modelRow(model, recommended, model.isDownloaded()));
            if (i < model_->count()) {
                model_->setItemText(i, row);
                model_->setItemData(i, text(model.rawValue()));
            } else {
                model_->addItem(row, text(model.rawValue()));
            }
        }
        model_->setCurrentIndex(model_->findData(text(selected.rawValue())));
    }
    const bool downloading = whisper.downloading.get();
    progress_->setValue(static_cast<int>(
        std::lround(std::clamp(whisper.progress.get(), 0.0, 1.0) * progressSteps)));
    modelRows_->setRowVisible(progressRow_, downloading);
    const auto label = text(SettingsOptions::downloadButton(selected.original()));
    download_->setText(label);
    download_->setAccessibleName(label);
    modelRows_->setRowVisible(download_, !downloading && !selected.isDownloaded());
    const auto& error = whisper.downloadError.get();
    showNotice(downloadError_, error ? text(*error) : QString());
    modelRows_->setRowVisible(downloadError_, error.has_value());
}

void SettingsTranscriptionTab::rebuildLearnedWords(const std::vector<std::string>& words) {
    auto* layout = learnedBox_->layout();
    while (auto* item = layout->takeAt(0)) {
        if (auto* row = item->widget()) {
            row->hide();
            row->deleteLater();
        }
        delete item;
    }
    // Rows made after the rest of the window would come last in the Tab order; they go
    // between the vocabulary and the button that forgets them all.
    QWidget* before = vocabulary_;
    for (const auto& word : words) {
        auto* row = new QWidget(learnedBox_);
        row->setObjectName(QStringLiteral("learnedWord"));
        row->setAccessibleName(QStringLiteral("Learned word ") + QString::fromStdString(word));
        row->setFocusPolicy(Qt::StrongFocus);
        row->setContextMenuPolicy(Qt::ActionsContextMenu);
        auto* rowLayout = new QHBoxLayout(row);
        rowLayout->setContentsMargins(0, 0, 0, 0);
        rowLayout->addWidget(new QLabel(QStringLiteral("Learned word")));
        rowLayout->addStretch(1);
        auto* value = new QLabel(QString::fromStdString(word));
        value->setObjectName(QStringLiteral("learnedWordValue"));
        rowLayout->addWidget(value);
        auto* forgetAction = new QAction(QStringLiteral("Forget"), row);
        forgetAction->setObjectName(QStringLiteral("forgetWord"));
        connect(forgetAction, &QAction::triggered, this, [this, word] { forget(word); });
        row->addAction(forgetAction);
        layout->addWidget(row);
        QWidget::setTabOrder(before, row);
        before = row;
    }
    QWidget::setTabOrder(before, forgetAll_);
    speakerRows_->setRowVisible(learnedBox_, !words.empty());
}

void SettingsTranscriptionTab::forget(const std::string& word) {
    SettingsManager::forget(word, context_.stores);
    refresh();
}

void SettingsTranscriptionTab::changeIncludeMic(bool on) {
    SettingsForm::store(context_.stores, Key::includeMic, PlistValue(on));
    const auto& services = context_.manager->services();
    if (on && services.micAuthorization && services.requestMicAccess &&
        services.micAuthorization() == MicAuthorization::notDetermined)
        // The answer is the desktop's to keep; the session asks the status when it starts.
        services.requestMicAccess([](bool) {});
    refresh();
}

void SettingsTranscriptionTab::changeFollowMute(bool on) {
    SettingsForm::store(context_.stores, Key::followMute, PlistValue(on));
    const auto& services = context_.manager->services();
    if (on && services.requestMuteWatcherPermission)
        services.requestMuteWatcherPermission();
    refresh();
}

bool SettingsTranscriptionTab::eventFilter(QObject* watched, QEvent* event) {
    if (watched == vocabulary_ && event->type() == QEvent::Resize)
        fitVocabulary();
    return QWidget::eventFilter(watched, event);
}

void SettingsTranscriptionTab::fitVocabulary() {
    if (!vocabulary_)
        return;
    const qreal margin = vocabulary_->document()->documentMargin();
    const qreal width = vocabulary_->width() - 2 * vocabulary_->frameWidth() - 2 * margin;
    const int wrapped =
        wrappedLines(vocabulary_->toPlainText(), vocabulary_->font(), std::max<qreal>(width, 1));
    const int lines = std::clamp(wrapped, 2, 5);
    // A scroll bar only once the text is taller than the field may grow.
    vocabulary_->setVerticalScrollBarPolicy(wrapped > 5 ? Qt::ScrollBarAsNeeded
                                                        : Qt::ScrollBarAlwaysOff);
    const int height = lines * vocabulary_->fontMetrics().lineSpacing() +
                       static_cast<int>(std::ceil(2 * margin)) + 2 * vocabulary_->frameWidth();
    if (vocabulary_->height() != height)
        vocabulary_->setFixedHeight(height);
}

} // namespace tallyvox::ui

#pragma once

#include "ui/ManagerWatch.h"
#include "ui/SettingsForm.h"
#include "ui/UiContext.h"

#include <QWidget>

#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSlider;
class QVBoxLayout;

namespace tallyvox::ui {

// The recogniser model and language, speakers, update interval, vocabulary and learned
// words, and the microphone.
class SettingsTranscriptionTab : public QWidget {
    Q_OBJECT
public:
    explicit SettingsTranscriptionTab(UiContext& context, QWidget* parent = nullptr);

    // Reads the microphone settings and the word-fix memory again.
    void refresh();

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void build();
    void buildModelSection(QVBoxLayout* layout);
    void buildSpeakersSection(QVBoxLayout* layout);
    void buildMicSection(QVBoxLayout* layout);
    void syncFromDefaults();
    void syncFromManager();
    void rebuildLearnedWords(const std::vector<std::string>& words);
    void forget(const std::string& word);
    void changeIncludeMic(bool on);
    void changeFollowMute(bool on);
    void fitVocabulary();

    UiContext& context_;
    bool includeMic_ = false;
    bool followMute_ = true;
    std::vector<std::string> learned_;
    bool hasFixMemory_ = false;

    QComboBox* model_ = nullptr;
    QWidget* progressRow_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* download_ = nullptr;
    QLabel* downloadError_ = nullptr;
    QComboBox* language_ = nullptr;
    QFormLayout* modelRows_ = nullptr;
    QCheckBox* diarize_ = nullptr;
    QCheckBox* useGPU_ = nullptr;
    QSlider* chunk_ = nullptr;
    QLabel* chunkValue_ = nullptr;
    QPlainTextEdit* vocabulary_ = nullptr;
    QWidget* learnedBox_ = nullptr;
    QPushButton* forgetAll_ = nullptr;
    QFormLayout* speakerRows_ = nullptr;
    QCheckBox* includeMicBox_ = nullptr;
    QCheckBox* followMuteBox_ = nullptr;

    std::unique_ptr<SettingsForm::DefaultsWatch> watch_;
    std::unique_ptr<ManagerWatch> managerWatch_;
};

} // namespace tallyvox::ui

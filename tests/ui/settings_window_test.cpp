#include "UiHarness.h"

#include "session/DetectionSettings.h"
#include "settings/AppInfo.h"
#include "settings/ProtectedSettings.h"
#include "settings/SettingsTable.h"
#include "ui/SettingsGeneralTab.h"
#include "ui/SettingsOptions.h"
#include "ui/SettingsPrivacyTab.h"
#include "ui/SettingsTranscriptionTab.h"
#include "ui/SettingsWindow.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTest>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace tallyvox::testing {
namespace {

namespace Key = SettingsManager::Key;

class SettingsWindowTest : public UiHarness {
protected:
    void open() {
        launchApp();
        app->showSettings();
        settle();
        window = qobject_cast<ui::SettingsWindow*>(app->settingsWindow());
        ASSERT_NE(window, nullptr);
    }
    template <class W = QWidget> W* find(const char* name) const {
        auto* widget = window->findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    // Shown while its tab is: rows a section hides do not count.
    bool shown(QWidget* widget) const {
        QWidget* tab = widget;
        while (tab && tab != window->general() && tab != window->transcription() &&
               tab != window->privacy())
            tab = tab->parentWidget();
        return widget->isVisibleTo(tab);
    }
    // What the preferences file holds, read by another reader.
    std::optional<PlistValue> onDisk(std::string_view key) const {
        UserDefaults reader(defaults.file());
        return reader.object(key);
    }
    std::optional<PlistValue> protectedValue(std::string_view key) const {
        return ProtectedSettings::value(key, stores.protectedFile);
    }
    // What choosing a row in the open list does.
    static void choose(QComboBox* box, const QString& shown) {
        int index = box->findText(shown);
        ASSERT_GE(index, 0) << shown.toStdString();
        box->setCurrentIndex(index);
        emit box->activated(index);
    }

    ui::SettingsWindow* window = nullptr;
};

TEST_F(SettingsWindowTest, DetectionSwitchesFollowEachOtherAndReachDetection) {
    open();
    EXPECT_EQ(window->windowTitle(), "Tallyvox Settings");
    EXPECT_EQ(window->width(), 500);
    ASSERT_EQ(window->tabs()->count(), 3);
    EXPECT_EQ(window->tabs()->tabText(0), "General");
    EXPECT_EQ(window->tabs()->tabText(1), "Transcription");
    EXPECT_EQ(window->tabs()->tabText(2), "Privacy");

    int told = 0;
    auto choices = SessionSettings::detectionChoices(stores);
    auto watching = choices.observe([&] { ++told; });

    auto* automatic = find<QCheckBox>("autoDetect");
    auto* zoomBox = find<QCheckBox>("detectZoom");
    auto* teams = find<QCheckBox>("detectTeams");
    auto* web = find<QCheckBox>("detectWeb");
    auto* meetBox = find<QCheckBox>("detectMeet");
    EXPECT_EQ(web->text(), "Web meetings (Chrome, Chromium, Edge, Brave, Firefox)");
    for (auto* box : {automatic, zoomBox, teams, web, meetBox}) {
        EXPECT_TRUE(box->isChecked());
        EXPECT_TRUE(box->isEnabled());
    }

    web->click();
    EXPECT_EQ(onDisk(Key::detectWeb), PlistValue(false));
    EXPECT_FALSE(SettingsManager::detectWeb(stores));
    EXPECT_EQ(told, 1) << "detection hears of the change at once";
    EXPECT_FALSE(meetBox->isEnabled()) << "Google Meet needs web meetings";
    meetBox->click();
    EXPECT_TRUE(SettingsManager::detectMeet(stores));

    automatic->click();
    EXPECT_EQ(onDisk(Key::autoDetect), PlistValue(false));
    EXPECT_FALSE(choices.enabled());
    for (auto* box : {zoomBox, teams, web, meetBox}) {
        EXPECT_FALSE(box->isEnabled()) << box->objectName().toStdString();
        box->click();
    }
    EXPECT_TRUE(SettingsManager::detectZoom(stores));
    EXPECT_TRUE(SettingsManager::detectTeams(stores));
    EXPECT_FALSE(SettingsManager::detectWeb(stores));

    // A change from elsewhere (the command line) shows in the open window.
    defaults.set(Key::autoDetect, true);
    settle();
    EXPECT_TRUE(automatic->isChecked());
    EXPECT_TRUE(zoomBox->isEnabled());
    EXPECT_TRUE(web->isEnabled());
    EXPECT_FALSE(meetBox->isEnabled()) << "web meetings are still off";
    web->click();
    EXPECT_TRUE(meetBox->isEnabled());
    zoomBox->click();
    EXPECT_FALSE(choices.watches(Platform::zoom));
}

TEST_F(SettingsWindowTest, GeneralControlsStoreAtOnceAndAFailedLoginItemSaysWhy) {
    open();
    auto* name = find<QLineEdit>("myName");
    EXPECT_EQ(name->placeholderText(), "Shown on your microphone lines");
    name->selectAll();
    QTest::keyClicks(name, "Ada Lovelace");
    EXPECT_EQ(onDisk(Key::myName), PlistValue("Ada Lovelace"));
    EXPECT_EQ(SettingsManager::myName(stores), "Ada Lovelace");

    find<QCheckBox>("useCalendar")->click();
    EXPECT_EQ(onDisk(Key::useCalendar), PlistValue(true));

    auto* login = find<QCheckBox>("launchAtLogin");
    auto* notice = find<QLabel>("loginError");
    EXPECT_FALSE(login->isChecked());
    login->click();
    EXPECT_TRUE(fakes.loginItem);
    EXPECT_FALSE(shown(notice));

    fakes.loginItemError =
        "Could not write ~/.config/autostart/tallyvox.desktop: Permission denied";
    login->click();
    EXPECT_EQ(fakes.loginItemSets, 2);
    ASSERT_TRUE(shown(notice));
    EXPECT_EQ(notice->text().toStdString(), *fakes.loginItemError);
    EXPECT_TRUE(login->isChecked()) << "the entry is still there, and the switch says so";

    fakes.loginItemError.reset();
    login->click();
    EXPECT_FALSE(fakes.loginItem);
    EXPECT_FALSE(login->isChecked());
    EXPECT_FALSE(shown(notice)) << "a change that works clears the notice";

    // Changed outside the window (the autostart entry removed by hand): read when shown.
    fakes.loginItem = true;
    window->hide();
    app->showSettings();
    settle();
    EXPECT_TRUE(login->isChecked());

    EXPECT_EQ(find<QLabel>("version")->text().toStdString(), AppInfo::version());
    EXPECT_EQ(find<QLabel>("build")->text().toStdString(),
              AppInfo::build() + " (" + AppInfo::buildDate() + ")");
}

TEST_F(SettingsWindowTest, ACloudSyncedFolderIsWarnedOfAndTheDefaultFolderClearsTheChoice) {
    open();
    auto* general = window->general();
    auto* path = find<ui::SettingsForm::ElidedLabel>("savePath");
    auto* useDefault = find<QPushButton>("useDefaultFolder");
    auto* warning = find<QLabel>("cloudWarning");
    EXPECT_EQ(path->fullText().toStdString(), TranscriptManager::defaultRoot().string());
    EXPECT_FALSE(shown(useDefault));
    EXPECT_FALSE(shown(warning));

    const auto synced = dir / "Dropbox (Personal)/Meetings";
    std::filesystem::create_directories(synced);
    general->setSaveLocation(synced.string());
    EXPECT_EQ(protectedValue(Key::saveLocation), PlistValue(synced.string()));
    EXPECT_EQ(SettingsManager::saveRoot(stores), synced);
    EXPECT_EQ(path->toolTip().toStdString(), synced.string());
    EXPECT_TRUE(shown(useDefault));
    ASSERT_TRUE(shown(warning));
    EXPECT_TRUE(warning->text().contains("leave this computer"));

    const auto local = dir / "DropboxNotes";
    general->setSaveLocation(local.string());
    EXPECT_FALSE(shown(warning)) << "a name that only starts like a sync folder is local";
    EXPECT_TRUE(shown(useDefault));

    general->setSaveLocation(synced.string());
    useDefault->click();
    EXPECT_EQ(protectedValue(Key::saveLocation), std::nullopt);
    EXPECT_EQ(SettingsManager::saveRoot(stores), TranscriptManager::defaultRoot());
    EXPECT_FALSE(shown(useDefault));
    EXPECT_FALSE(shown(warning));
    EXPECT_EQ(path->fullText().toStdString(), TranscriptManager::defaultRoot().string());
}

TEST_F(SettingsWindowTest, QuantisedCopiesOnDiskAndAChosenOneFollowTheModels) {
    const WhisperModel smallCopy(WhisperModel::small, WhisperModel::Variant::q5_1);
    std::filesystem::create_directories(smallCopy.copyPath().parent_path());
    std::ofstream(smallCopy.copyPath()) << "weights";
    defaults.set(Key::model, PlistValue("base-q8_0"));
    open();
    window->tabs()->setCurrentIndex(1);
    settle();
    auto* model = find<QComboBox>("model");
    const int models = static_cast<int>(WhisperModel::all().size());
    ASSERT_EQ(model->count(), models + 2);
    EXPECT_EQ(model->itemData(models).toString(), "base-q8_0") << "chosen, though not made yet";
    EXPECT_EQ(model->currentData().toString(), "base-q8_0");
    EXPECT_EQ(model->itemText(models + 1), "Small (q5_1) · faster copy");
    EXPECT_EQ(find<QPushButton>("download")->text(), "Download Base (142 MB)")
        << "a copy is made from its original, which is what is downloaded";

    choose(model, "Small (q5_1) · faster copy");
    settle();
    EXPECT_EQ(onDisk(Key::model), PlistValue("small-q5_1"));
    EXPECT_EQ(model->count(), models + 1) << "a copy never made goes once no longer chosen";
    EXPECT_EQ(model->currentData().toString(), "small-q5_1");
}

TEST_F(SettingsWindowTest, ModelPickerOffersTheDownloadOnlyForAMissingModelAndShowsItsProgress) {
    open();
    window->tabs()->setCurrentIndex(1);
    settle();
    auto* model = find<QComboBox>("model");
    auto* download = find<QPushButton>("download");
    auto* progress = find<QProgressBar>("downloadProgress");
    auto* error = find<QLabel>("downloadError");
    ASSERT_EQ(model->count(), static_cast<int>(WhisperModel::all().size()));
    const WhisperModel tiny(WhisperModel::tiny), small(WhisperModel::small);
    EXPECT_EQ(model->currentData().toString(), "tiny");
    EXPECT_FALSE(model->currentText().contains("not downloaded"));
    EXPECT_FALSE(shown(download)) << "the chosen model is on disk";
    EXPECT_FALSE(shown(progress));
    const auto smallRow =
        ui::SettingsOptions::modelRow(small, SettingsManager::recommendedModel(), false);
    EXPECT_GE(model->findText(QString::fromStdString(smallRow)), 0) << smallRow;
    EXPECT_TRUE(QString::fromStdString(smallRow).endsWith(" · not downloaded"));

    choose(model, QString::fromStdString(smallRow));
    settle();
    EXPECT_EQ(onDisk(Key::model), PlistValue("small"));
    ASSERT_TRUE(shown(download));
    std::string expected = "Download ";
    expected.append(small.title()).append(" (").append(small.sizeLabel()).append(")");
    EXPECT_EQ(download->text().toStdString(), expected);

    download->click();
    settle();
    EXPECT_TRUE(manager->whisper().downloading.get());
    EXPECT_TRUE(shown(progress));
    EXPECT_FALSE(shown(download)) << "the progress bar replaces the button";
    manager->whisper().progress.set(0.5);
    settle();
    EXPECT_EQ(progress->value(), progress->maximum() / 2);

    // While it runs, switching to a model on disk still shows the download that runs.
    choose(model, model->itemText(model->findData("tiny")));
    settle();
    EXPECT_TRUE(shown(progress));

    manager->whisper().downloadError.set("Model download failed: network unreachable");
    manager->whisper().downloading.set(false);
    settle();
    EXPECT_FALSE(shown(progress));
    ASSERT_TRUE(shown(error));
    EXPECT_EQ(error->text(), "Model download failed: network unreachable");

    // The language picker lists its choices; a value set elsewhere stays visible.
    auto* language = find<QComboBox>("language");
    EXPECT_EQ(language->count(), 24);
    EXPECT_EQ(language->itemText(0), "English + Hindi (recommended)");
    choose(language, "Tamil");
    EXPECT_EQ(onDisk(Key::language), PlistValue("ta"));
    defaults.set(Key::language, "en+fr");
    settle();
    EXPECT_EQ(language->currentText(), "en+fr");
    EXPECT_EQ(onDisk(Key::language), PlistValue("en+fr")) << "shown, not replaced";
}

TEST_F(SettingsWindowTest, SliderVocabularyAndSpeakersStoreWholeSecondsWithinTheirRange) {
    open();
    window->tabs()->setCurrentIndex(1);
    settle();
    auto* slider = find<QSlider>("chunkSeconds");
    auto* value = find<QLabel>("chunkSecondsValue");
    // The range is the setting's own, the one the command line enforces too.
    const auto* chunk = SettingsTable::find(Key::chunkSeconds);
    EXPECT_EQ(slider->minimum(), *chunk->minimum);
    EXPECT_EQ(slider->maximum(), *chunk->maximum);
    EXPECT_EQ(slider->value(), *chunk->fallback->realValue());
    EXPECT_EQ(value->text(), "20 s");

    QTest::keyClick(slider, Qt::Key_End);
    EXPECT_EQ(onDisk(Key::chunkSeconds), PlistValue(28.0));
    EXPECT_EQ(value->text(), "28 s");
    slider->setValue(40);
    EXPECT_EQ(slider->value(), 28);
    QTest::keyClick(slider, Qt::Key_Home);
    EXPECT_EQ(onDisk(Key::chunkSeconds), PlistValue(5.0));
    QTest::keyClick(slider, Qt::Key_Down);
    EXPECT_EQ(slider->value(), 5);
    QTest::keyClick(slider, Qt::Key_Right);
    EXPECT_EQ(onDisk(Key::chunkSeconds), PlistValue(6.0));

    defaults.set(Key::chunkSeconds, 17.6);
    settle();
    EXPECT_EQ(slider->value(), 18);
    EXPECT_EQ(value->text(), "18 s");
    EXPECT_EQ(onDisk(Key::chunkSeconds), PlistValue(17.6)) << "showing writes nothing";

    auto* diarize = find<QCheckBox>("diarize");
    EXPECT_FALSE(diarize->isChecked());
    diarize->click();
    EXPECT_EQ(onDisk(Key::diarize), PlistValue(true));

    auto* useGPU = find<QCheckBox>("useGPU");
    EXPECT_TRUE(useGPU->isChecked()) << "on unless turned off";
    useGPU->click();
    EXPECT_EQ(onDisk(Key::useGPU), PlistValue(false));

    auto* vocabulary = find<QPlainTextEdit>("vocabulary");
    EXPECT_EQ(vocabulary->toPlainText().toStdString(), SettingsManager::sampleVocabulary);
    vocabulary->clear();
    EXPECT_EQ(onDisk(Key::vocabulary), PlistValue(""));
    const int twoLines = vocabulary->height();
    QTest::keyClicks(vocabulary, "Kubernetes");
    EXPECT_EQ(onDisk(Key::vocabulary), PlistValue("Kubernetes"));
    EXPECT_EQ(vocabulary->height(), twoLines) << "at least two lines high";
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(vocabulary, Qt::Key_Return);
    const int fourLines = vocabulary->height();
    EXPECT_GT(fourLines, twoLines);
    for (int i = 0; i < 6; ++i)
        QTest::keyClick(vocabulary, Qt::Key_Return);
    EXPECT_GT(vocabulary->height(), fourLines);
    const int fiveLines = vocabulary->height();
    QTest::keyClick(vocabulary, Qt::Key_Return);
    EXPECT_EQ(vocabulary->height(), fiveLines) << "at most five lines high";
    vocabulary->setPlainText(QString("Kubernetes, Terraform, ").repeated(12));
    EXPECT_EQ(vocabulary->height(), fiveLines) << "one long paragraph wraps to many lines";
}

TEST_F(SettingsWindowTest, LearnedWordsAreForgottenOneByOneOrAllAndMicSwitchesAskFirst) {
    for (const char* word : {"Kubernetes", "Kubernetes", "Figma", "Figma"})
        SettingsManager::noteFix(word, stores);
    ASSERT_EQ(SettingsManager::learnedWords(stores).size(), 2u);
    fakes.micStatus = MicAuthorization::notDetermined;
    open();
    window->tabs()->setCurrentIndex(1);
    settle();

    auto rows = [this] {
        std::vector<std::string> words;
        for (auto* row : window->findChildren<QWidget*>("learnedWord"))
            if (shown(row))
                words.push_back(row->findChild<QLabel*>("learnedWordValue")->text().toStdString());
        return words;
    };
    EXPECT_EQ(rows(), (std::vector<std::string>{"Kubernetes", "Figma"}));
    auto* forgetAll = find<QPushButton>("forgetAllWords");
    EXPECT_TRUE(shown(forgetAll));

    QWidget* first = window->findChildren<QWidget*>("learnedWord").front();
    auto* forget = first->findChild<QAction*>("forgetWord");
    ASSERT_NE(forget, nullptr);
    EXPECT_EQ(forget->text(), "Forget");
    EXPECT_EQ(first->contextMenuPolicy(), Qt::ActionsContextMenu);
    forget->trigger();
    settle();
    EXPECT_EQ(rows(), (std::vector<std::string>{"Figma"}));
    EXPECT_EQ(SettingsManager::learnedWords(stores), (std::vector<std::string>{"Figma"}));
    EXPECT_TRUE(shown(forgetAll)) << "the fix counts are still remembered";

    forgetAll->click();
    settle();
    EXPECT_TRUE(rows().empty());
    EXPECT_FALSE(SettingsManager::hasFixMemory(stores));
    EXPECT_FALSE(shown(forgetAll));

    auto* mic = find<QCheckBox>("includeMic");
    auto* followMute = find<QCheckBox>("followMute");
    EXPECT_FALSE(mic->isChecked());
    EXPECT_TRUE(followMute->isChecked());
    EXPECT_FALSE(followMute->isEnabled());
    const auto before = protectedValue(Key::followMute);
    followMute->click();
    EXPECT_EQ(protectedValue(Key::followMute), before) << "cannot change while the mic is off";
    EXPECT_TRUE(SettingsManager::followMute(stores));

    mic->click();
    EXPECT_EQ(protectedValue(Key::includeMic), PlistValue(true));
    EXPECT_EQ(fakes.micRequests.size(), 1u) << "undecided access is asked for";
    EXPECT_TRUE(followMute->isEnabled());
    followMute->click();
    EXPECT_EQ(protectedValue(Key::followMute), PlistValue(false));
    EXPECT_EQ(fakes.mutePermissionRequests, 0) << "turning it off asks nothing";
    followMute->click();
    EXPECT_EQ(protectedValue(Key::followMute), PlistValue(true));
    EXPECT_EQ(fakes.mutePermissionRequests, 1);

    mic->click();
    EXPECT_EQ(protectedValue(Key::includeMic), PlistValue(false));
    EXPECT_FALSE(followMute->isEnabled());
    fakes.micStatus = MicAuthorization::denied;
    mic->click();
    EXPECT_EQ(fakes.micRequests.size(), 1u) << "a decided answer is not asked again";

    // Changed elsewhere (the menu's first-run setup): read when the tab is shown again.
    setProtected(Key::includeMic, false);
    window->tabs()->setCurrentIndex(0);
    window->tabs()->setCurrentIndex(1);
    EXPECT_FALSE(mic->isChecked());
    EXPECT_FALSE(followMute->isEnabled());
}

TEST_F(SettingsWindowTest, PrivacyRetentionCleansUpAtOnceAndConsentFollowsTheManager) {
    const auto old =
        TranscriptManager::defaultRoot() / "2020/January/06-01-20/Zoom_Meeting_10-00.txt";
    makeFile(old);
    std::filesystem::last_write_time(old, std::filesystem::file_time_type::clock::now() -
                                              std::chrono::hours(24 * 365 * 3));
    open();
    setProtected(Key::includeMic, true);
    window->tabs()->setCurrentIndex(2);
    settle();

    auto* deleteAfter = find<QComboBox>("deleteAfterDays");
    EXPECT_EQ(deleteAfter->currentText(), "Never");
    EXPECT_EQ(deleteAfter->count(), 5);
    EXPECT_TRUE(fakes.trashed.empty());
    choose(deleteAfter, "1 year");
    settle();
    EXPECT_EQ(onDisk(Key::deleteAfterDays), PlistValue(365));
    ASSERT_EQ(fakes.trashed.size(), 1u) << "at once, not at the next hourly pass";
    EXPECT_EQ(fakes.trashed[0].filename(), old.filename());
    defaults.set(Key::deleteAfterDays, 14);
    settle();
    EXPECT_EQ(deleteAfter->currentText(), "14 days");

    auto* automatic = find<QCheckBox>("automatic");
    auto* footer = find<QLabel>("consentFooter");
    EXPECT_FALSE(automatic->isChecked());
    EXPECT_EQ(footer->text(),
              "Off: you confirm participant consent in the menu before each meeting.");
    automatic->click();
    settle();
    EXPECT_TRUE(manager->automatic.get());
    EXPECT_TRUE(ConsentManager::standingConsentDate(stores.protectedFile).has_value());
    EXPECT_EQ(protectedValue(Key::includeMic), PlistValue(true)) << "the stored choice is kept";
    EXPECT_EQ(fakes.loginItemSets, 0) << "launch at login is left alone";
    EXPECT_TRUE(footer->text().startsWith("On: I will make sure participants know"));
    EXPECT_TRUE(
        footer->text().endsWith(" Turn off to confirm consent before each meeting instead."));

    manager->disableAutomatic();
    settle();
    EXPECT_FALSE(automatic->isChecked()) << "the menu's change shows here";
    automatic->click();
    automatic->click();
    settle();
    EXPECT_FALSE(manager->automatic.get());
    EXPECT_FALSE(ConsentManager::standingConsentDate(stores.protectedFile).has_value());

    auto* reminder = find<QCheckBox>("consentReminder");
    EXPECT_TRUE(reminder->isChecked());
    reminder->click();
    EXPECT_EQ(onDisk(Key::consentReminder), PlistValue(false));
}

TEST_F(SettingsWindowTest, EveryControlIsNamedAndTabGoesThroughThemTopToBottom) {
    for (const char* word : {"Kubernetes", "Kubernetes", "Figma", "Figma"})
        SettingsManager::noteFix(word, stores);
    open();
    for (int tab = 0; tab < window->tabs()->count(); ++tab) {
        window->tabs()->setCurrentIndex(tab);
        settle();
        QWidget* page = window->tabs()->currentWidget();
        auto isControl = [page](QWidget* widget) {
            bool control = qobject_cast<QAbstractButton*>(widget) ||
                           qobject_cast<QComboBox*>(widget) || qobject_cast<QLineEdit*>(widget) ||
                           qobject_cast<QPlainTextEdit*>(widget) ||
                           qobject_cast<QSlider*>(widget) || widget->objectName() == "learnedWord";
            return control && page->isAncestorOf(widget) && widget->isVisibleTo(page);
        };
        std::vector<QWidget*> chain;
        for (QWidget* w = window->nextInFocusChain(); w != window; w = w->nextInFocusChain())
            if (isControl(w))
                chain.push_back(w);
        int controls = 0;
        for (auto* widget : page->findChildren<QWidget*>()) {
            if (!isControl(widget))
                continue;
            ++controls;
            const auto name = widget->objectName().toStdString();
            EXPECT_FALSE(name.empty()) << widget->metaObject()->className();
            EXPECT_FALSE(widget->accessibleName().isEmpty()) << name;
            EXPECT_TRUE(widget->focusPolicy() & Qt::TabFocus) << name;
            EXPECT_NE(std::find(chain.begin(), chain.end(), widget), chain.end()) << name;
        }
        EXPECT_GE(controls, 2) << "tab " << tab;
        for (size_t i = 1; i < chain.size(); ++i)
            EXPECT_LE(chain[i - 1]->mapTo(page, QPoint()).y(), chain[i]->mapTo(page, QPoint()).y())
                << chain[i - 1]->objectName().toStdString() << " before "
                << chain[i]->objectName().toStdString();
    }
}

// An icon theme without our symbols: the style's own stand in, in the settings' tabs and the
// live transcript's empty states.
TEST_F(SettingsWindowTest, SymbolsTheIconThemeLacksAreStillDrawn) {
    const QString theme = QIcon::themeName();
    const QString fallback = QIcon::fallbackThemeName();
    QIcon::setThemeName(QStringLiteral("tallyvox-no-such-theme"));
    QIcon::setFallbackThemeName(QStringLiteral("tallyvox-no-such-theme"));
    open();
    auto* tabs = find<QTabWidget>("settingsTabs");
    for (int i = 0; i < tabs->count(); ++i)
        EXPECT_FALSE(tabs->tabIcon(i).pixmap(16, 16).isNull()) << tabs->tabText(i).toStdString();
    app->showLiveTranscript();
    settle();
    for (const char* name : {"noTranscriptSymbol", "noResultsSymbol"}) {
        auto* symbol = app->liveTranscriptWindow()->findChild<QLabel*>(QLatin1String(name));
        ASSERT_NE(symbol, nullptr) << name;
        EXPECT_FALSE(symbol->pixmap().isNull()) << name;
    }
    QIcon::setThemeName(theme);
    QIcon::setFallbackThemeName(fallback);
}

} // namespace
} // namespace tallyvox::testing

#pragma once

#include "base/AtomicFile.h"
#include "base/Log.h"
#include "fakes/FakeServices.h"
#include "fakes/ManualExecutor.h"
#include "fakes/ScriptedRecognizer.h"
#include "fakes/TempDir.h"
#include "session/AppLifecycleManager.h"
#include "settings/ConsentManager.h"
#include "transcripts/TranscriptManager.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

namespace tallyvox::testing {

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Holds back what is posted while `deferring`, to deliver it late on purpose.
class DeferringExecutor : public Executor {
public:
    explicit DeferringExecutor(Executor& target)
        : target_(target) {}
    bool deferring = false;
    void release() {
        for (auto& task : std::exchange(held_, {}))
            target_.post(std::move(task));
    }

protected:
    void schedule(Duration delay, Task task) override {
        if (deferring)
            held_.push_back(std::move(task));
        else
            target_.postAfter(delay, std::move(task));
    }

private:
    Executor& target_;
    std::vector<Task> held_;
};

// One app launch in a temporary home: real settings and transcript files, fake platform
// services, the real engine on the test's virtual clock with a scripted recogniser.
class SessionHarness : public ::testing::Test {
protected:
    SessionHarness() {
        ::setenv("TZ", "Europe/London", 1);
        ::tzset();
        std::filesystem::resize_file(makeFile(WhisperModel(WhisperModel::tiny).localPath()),
                                     WhisperModel(WhisperModel::tiny).minimumBytes());
        defaults.set(SettingsManager::Key::accuracyDefaultsApplied, true);
        defaults.set(SettingsManager::Key::model, "tiny");
        defaults.set(SettingsManager::Key::language, "en");
        defaults.set(SettingsManager::Key::diarize, false);
        defaults.set(SettingsManager::Key::chunkSeconds, 20.0);
        fakes.loadRecognizer = recognizerLoader(script);
        fakes.engineQueue = std::shared_ptr<Executor>(&executor, [](Executor*) {});
    }

    ~SessionHarness() override {
        manager.reset();
        executor.runUntilIdle();
    }

    std::filesystem::path makeFile(const std::filesystem::path& file) {
        std::filesystem::create_directories(file.parent_path());
        writeFileAtomically(file, "");
        return file;
    }

    void launch() {
        manager = AppLifecycleManager::make(main, clock, fakes.services(), stores);
        executor.runUntilIdle();
    }
    void grantStanding() { ConsentManager::grantStanding(clock.now(), stores.protectedFile); }
    void setProtected(std::string_view key, PlistValue value) {
        ProtectedSettings::set(value, key, stores.protectedFile);
    }
    // The user confirms a meeting offered in the menu: one the detection lists as running.
    ConsentRecord confirmed(const DetectedMeeting& m) {
        fakes.detection->list(m);
        return *ConsentManager::confirm(m, true, clock.now());
    }

    // One burst of meeting audio that the recogniser hears as `text`; the engine turns it
    // into a line once the source has gone quiet.
    void speak(const std::string& text, double seconds = 3) {
        script->pushSegments({makeSegment(0.2, seconds - 0.2, text)});
        fakes.capture()->deliver(seconds);
        executor.advance(3);
    }
    void speakIntoMic(const std::string& text, double seconds = 3) {
        script->pushSegments({makeSegment(0.2, seconds - 0.2, text)});
        fakes.mic()->deliver(seconds);
        executor.advance(3);
    }

    std::string fileText() const { return *readWholeFile(manager->live().record.get()->filePath); }
    // What the transcript file must say for what is in memory now.
    std::string expectedText() const {
        return TranscriptManager::text(*manager->live().record.get(),
                                       manager->live().segments.get(),
                                       [this](int s) { return manager->live().speakerName(s); });
    }
    std::filesystem::path diagnosticsFile() const {
        auto p = manager->live().record.get()->filePath;
        p.replace_extension();
        p += ".diagnostics.txt";
        return p;
    }

    TempDir dir;
    ScopedEnv home{"HOME", dir.path().string()};
    ScopedEnv config{"XDG_CONFIG_HOME", (dir / "config").string()};
    ScopedEnv data{"XDG_DATA_HOME", (dir / "data").string()};
    UserDefaults defaults{dir / "config/tallyvox/preferences.plist"};
    SettingsStores stores{defaults, dir / "Documents/Tallyvox/.settings.plist"};
    ManualClock clock;
    ManualExecutor executor{clock};
    DeferringExecutor main{executor};
    FakeServices fakes{clock};
    std::shared_ptr<RecognizerScript> script = std::make_shared<RecognizerScript>();
    Log::Capture log;
    std::shared_ptr<AppLifecycleManager> manager;

    const DetectedMeeting zoom{Platform::zoom, 812, "Zoom", false};
    const DetectedMeeting meet{Platform::meet, 4021, "Google Chrome", true};
};

} // namespace tallyvox::testing

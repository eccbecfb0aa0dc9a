#include "session/SessionHarness.h"

#include "fakes/Lines.h"
#include "types/ModelSpeed.h"

#include <algorithm>

using namespace tallyvox;
using namespace tallyvox::testing;
namespace fs = std::filesystem;

using SessionFlow = SessionHarness;

// Standing consent: the meeting starts by itself, speaks over several windows, pauses,
// resumes and ends; the file mirrors memory after every step.
TEST_F(SessionFlow, AutomaticMeetingFromStartToEnd) {
    grantStanding();
    launch();
    EXPECT_TRUE(manager->automatic.get());

    fakes.detection->begin(zoom);
    ASSERT_TRUE(manager->session.get());
    EXPECT_TRUE(log.contains("Auto-starting transcription for Zoom-812"));
    EXPECT_TRUE(manager->modelLoading.get()) << "the model loads after start";
    ASSERT_EQ(fakes.notifications.size(), 1u);
    EXPECT_EQ(fakes.notifications[0].identifier, "Zoom-812");
    EXPECT_EQ(fakes.notifications[0].title, "Transcribing Zoom meeting");
    EXPECT_EQ(fakes.notifications[0].body,
              "Automatic transcription is on. Stop it from the menu bar.");
    EXPECT_TRUE(fakes.capture()->startedWith->automatic);

    const auto& record = *manager->live().record.get();
    EXPECT_TRUE(record.automaticConsent);
    EXPECT_EQ(fileText(), expectedText()) << "the header is on disk from the first second";
    EXPECT_TRUE(
        log.contains("Transcribing Zoom-812 (automatic, mic off) → " + record.filePath.string()));

    executor.runUntilIdle();
    EXPECT_FALSE(manager->modelLoading.get());

    speak("Good morning everyone.");
    ASSERT_EQ(manager->live().segments.get().size(), 1u);
    EXPECT_EQ(fileText(), expectedText());
    EXPECT_TRUE(contains(fileText(), "Good morning everyone."));

    speak("Let us look at the roadmap.");
    speak("First item is the release.");
    EXPECT_EQ(texts(manager->live().segments.get()),
              (std::vector<std::string>{"Good morning everyone.", "Let us look at the roadmap.",
                                        "First item is the release."}));
    EXPECT_EQ(fileText(), expectedText());

    manager->togglePause();
    EXPECT_TRUE(manager->session.get()->pausedAt);
    EXPECT_TRUE(fakes.capture()->paused);
    EXPECT_TRUE(log.contains("Transcription paused"));
    executor.advance(30);
    manager->togglePause();
    EXPECT_FALSE(manager->session.get()->pausedAt);
    EXPECT_DOUBLE_EQ(manager->session.get()->pausedTotal, 30);
    EXPECT_FALSE(fakes.capture()->paused);

    speak("Back from the break.");
    EXPECT_EQ(manager->live().segments.get().size(), 4u);
    EXPECT_EQ(fileText(), expectedText());

    fakes.detection->end(zoom);
    EXPECT_FALSE(manager->session.get());
    EXPECT_TRUE(manager->finishing.get());
    EXPECT_TRUE(log.contains("Transcription stopped: meeting ended"));
    EXPECT_EQ(fakes.capture()->stops, 0) << "audio is released only after the final drain";
    executor.runUntilIdle();

    EXPECT_FALSE(manager->finishing.get());
    EXPECT_EQ(fakes.capture()->stops, 1);
    EXPECT_FALSE(manager->skipped().count("Zoom-812")) << "a meeting that ended may start again";
    ASSERT_TRUE(manager->live().record.get()->endedAt);
    EXPECT_EQ(fileText(), expectedText());
    EXPECT_TRUE(contains(fileText(), "\nEnd: "));
    EXPECT_TRUE(log.contains("Transcript saved: " + record.filePath.string()));
    auto report = readWholeFile(diagnosticsFile());
    ASSERT_TRUE(report);
    EXPECT_TRUE(contains(*report, "(paused 30.0 s)"));
    EXPECT_FALSE(contains(*report, "Good morning")) << "the report holds no transcript text";
    EXPECT_EQ(manager->live().segments.get().size(), 4u)
        << "the last session's lines stay for views";
}

TEST_F(SessionFlow, EmptySessionExplainsWhyInTheFile) {
    launch();
    // No sound at all.
    manager->start(zoom, confirmed(zoom));
    executor.advance(5);
    manager->stop();
    executor.runUntilIdle();
    auto record = *manager->live().record.get();
    EXPECT_EQ(fileText(), TranscriptManager::emptySessionText(record, false));
    EXPECT_TRUE(contains(fileText(), std::string(TranscriptManager::noSoundMessage)));
    EXPECT_TRUE(log.contains("No speech transcribed (sound received: false)"));
    EXPECT_TRUE(fs::exists(diagnosticsFile()));
    EXPECT_FALSE(manager->lastError.get()) << "the explanation lives in the file";

    // Sound, but no words in it.
    clock.advance(60);
    manager->start(meet, confirmed(meet));
    executor.runUntilIdle();
    script->setSilent(true);
    fakes.capture()->deliver(4);
    executor.advance(4);
    manager->stop();
    executor.runUntilIdle();
    record = *manager->live().record.get();
    EXPECT_EQ(fileText(), TranscriptManager::emptySessionText(record, true));
    EXPECT_TRUE(contains(fileText(), std::string(TranscriptManager::noWordsMessage)));
    EXPECT_TRUE(log.contains("No speech transcribed (sound received: true)"));
    EXPECT_TRUE(fs::exists(diagnosticsFile()));
}

// Stopping while paused: audio is drained into lines, the open pause counts in the report.
TEST_F(SessionFlow, StopWhilePaused) {
    launch();
    manager->start(zoom, confirmed(zoom));
    executor.runUntilIdle();
    speak("Before the pause.");
    script->pushSegments({makeSegment(0.2, 1.8, "Said just before pausing.")});
    fakes.capture()->deliver(2);
    manager->togglePause(); // flushes what was heard into lines
    executor.runUntilIdle();
    EXPECT_EQ(manager->live().segments.get().size(), 2u);

    executor.advance(12);
    manager->stop();
    executor.runUntilIdle();
    EXPECT_TRUE(manager->skipped().count("Zoom-812")) << "a user stop keeps it from restarting";
    auto report = *readWholeFile(diagnosticsFile());
    EXPECT_TRUE(contains(report, "(paused 12.0 s)")) << report;
    EXPECT_EQ(fileText(), expectedText());
    EXPECT_EQ(manager->live().segments.get().size(), 2u);
}

TEST_F(SessionFlow, QuittingWaitsForTheFinish) {
    launch();
    int done = 0;
    manager->finishForQuit([&] { ++done; });
    EXPECT_EQ(done, 1) << "idle: quit at once";

    launch(); // each quit ends one run of the app
    manager->start(zoom, confirmed(zoom));
    executor.runUntilIdle();
    speak("Something worth keeping.");
    script->pushSegments({makeSegment(0.2, 2.8, "The very last words.")});
    fakes.capture()->deliver(3); // still pending in the engine
    manager->stop();
    manager->finishForQuit([&] { ++done; }); // quitting during the finish
    EXPECT_EQ(done, 1);
    executor.runUntilIdle();
    EXPECT_EQ(done, 2);
    EXPECT_EQ(manager->live().segments.get().size(), 2u) << "the final drain made a line";
    EXPECT_TRUE(contains(fileText(), "The very last words."));
    EXPECT_TRUE(fs::exists(diagnosticsFile()));

    clock.advance(120);
    launch();
    manager->start(meet, confirmed(meet));
    executor.runUntilIdle();
    manager->finishForQuit([&] { ++done; });
    EXPECT_EQ(done, 2) << "running: waits for the drain";
    EXPECT_TRUE(log.contains("Transcription stopped: app quitting"));
    executor.runUntilIdle();
    EXPECT_EQ(done, 3);
}

TEST_F(SessionFlow, CaptureFailureStopsTheSession) {
    launch();
    manager->start(zoom, confirmed(zoom));
    executor.runUntilIdle();
    speak("Words before the failure.");
    auto first = fakes.capture();
    first->fail("Audio capture failed (record stream, error 5).");
    EXPECT_EQ(manager->lastError.get(), "Audio capture failed (record stream, error 5).");
    EXPECT_FALSE(manager->session.get());
    EXPECT_TRUE(log.contains("Transcription stopped: capture failed"));
    EXPECT_TRUE(manager->skipped().count("Zoom-812"));
    executor.runUntilIdle();
    EXPECT_TRUE(contains(fileText(), "Words before the failure."));

    // A late failure of the old capture does not touch the next session.
    manager->start(meet, confirmed(meet));
    executor.runUntilIdle();
    first->fail("late");
    EXPECT_TRUE(manager->session.get());
    EXPECT_FALSE(manager->lastError.get()) << "a start with its model on disk clears it";
}

TEST_F(SessionFlow, StartRefusals) {
    launch();
    manager->start(zoom, confirmed(meet));
    EXPECT_FALSE(manager->session.get()) << "consent for another meeting";
    EXPECT_FALSE(manager->lastError.get());

    fakes.nextCaptureStartError = "Audio capture failed (connect, error 3).";
    manager->start(zoom, confirmed(zoom));
    EXPECT_FALSE(manager->session.get());
    EXPECT_FALSE(manager->live().record.get()) << "nothing is kept";
    EXPECT_EQ(manager->lastError.get(), "Audio capture failed (connect, error 3).");
    EXPECT_TRUE(log.contains("Start failed: Audio capture failed (connect, error 3)."));

    defaults.set(SettingsManager::Key::model, "base");
    manager->start(zoom, confirmed(zoom));
    EXPECT_FALSE(manager->session.get());
    EXPECT_EQ(manager->lastError.get(), "Download the Whisper Base model first.");
    EXPECT_TRUE(log.contains("Start refused: Whisper base model not downloaded"));

    defaults.set(SettingsManager::Key::model, "tiny");
    manager->start(zoom, confirmed(zoom));
    ASSERT_TRUE(manager->session.get());
    EXPECT_FALSE(manager->lastError.get());
    manager->start(meet, confirmed(meet));
    EXPECT_EQ(manager->session.get()->meeting, zoom) << "a second start is ignored";
}

// The command line's --model FILE: that file is the model, whatever the settings name, and
// one that is not there or not a model is refused at the start with the file named.
TEST_F(SessionFlow, AModelFileNamedOnTheCommandLineIsTheModel) {
    defaults.set(SettingsManager::Key::model, "base");
    launch();
    const auto file = dir / "models/mine.bin";
    manager->useModelFile(file);
    manager->start(zoom, confirmed(zoom));
    EXPECT_FALSE(manager->session.get());
    EXPECT_EQ(manager->lastError.get(), "No Whisper model file at " + file.string() + ".");
    EXPECT_TRUE(log.contains("Start refused: No Whisper model file at " + file.string() + "."));

    writeFileAtomically(file, "<html>not found</html>");
    manager->start(zoom, confirmed(zoom));
    EXPECT_FALSE(manager->session.get());
    EXPECT_EQ(manager->lastError.get(), file.string() + " is not a Whisper model file.");

    writeFileAtomically(file, std::string("lmgg") + std::string(64, '\0'));
    manager->start(zoom, confirmed(zoom));
    EXPECT_TRUE(manager->session.get()) << "the Base model in the settings is not downloaded";
    EXPECT_FALSE(manager->lastError.get());
}

TEST_F(SessionFlow, ModelThatFailsToLoadEndsTheSession) {
    fakes.loadRecognizer = failingRecognizerLoader("Couldn't load the Whisper Tiny model.");
    launch();
    manager->start(zoom, confirmed(zoom));
    fakes.capture()->deliver(2);
    EXPECT_TRUE(manager->modelLoading.get());
    executor.runUntilIdle();
    EXPECT_FALSE(manager->modelLoading.get());
    EXPECT_FALSE(manager->session.get());
    EXPECT_FALSE(manager->finishing.get());
    EXPECT_EQ(manager->lastError.get(), "Couldn't load the Whisper Tiny model.");
    EXPECT_TRUE(log.contains("Transcription stopped: model failed to load"));
    // The file says why nothing was recognised; it does not blame the audio.
    EXPECT_EQ(fileText(),
              TranscriptManager::emptySessionText(*manager->live().record.get(),
                                                  TranscriptManager::modelNotLoadedMessage(
                                                      "Couldn't load the Whisper Tiny model.")));
}

// A meeting detected while the last one finishes starts once the finish is over.
TEST_F(SessionFlow, MeetingDetectedWhileFinishingStartsAfterwards) {
    grantStanding();
    launch();
    fakes.detection->begin(zoom);
    executor.runUntilIdle();
    speak("First meeting.");
    manager->stop();
    ASSERT_TRUE(manager->finishing.get());

    fakes.detection->begin(meet);
    EXPECT_FALSE(manager->session.get()) << "no start while finishing";
    EXPECT_EQ(fakes.notifications.back().title, "Meet meeting detected");
    EXPECT_EQ(fakes.notifications.back().body,
              "Transcription is off. Open Tallyvox in the menu bar to start it.");
    manager->start(meet, confirmed(meet));
    EXPECT_FALSE(manager->session.get());

    // Zoom-812, stopped by the user, still runs and leads the list; the Meet tab starts.
    executor.runUntilIdle();
    ASSERT_TRUE(manager->session.get());
    EXPECT_EQ(manager->session.get()->meeting, meet);
    EXPECT_TRUE(manager->live().segments.get().empty()) << "a new session starts with no lines";
}

TEST_F(SessionFlow, FinishStartsTheFirstDetectedMeeting) {
    grantStanding();
    launch();
    fakes.detection->begin(zoom);
    executor.runUntilIdle();
    fakes.detection->begin(meet); // runs beside, not started
    fakes.detection->end(zoom);   // meeting ended: finish, then the Meet tab starts
    EXPECT_FALSE(manager->session.get());
    executor.runUntilIdle();
    ASSERT_TRUE(manager->session.get());
    EXPECT_EQ(manager->session.get()->meeting, meet);
    EXPECT_TRUE(manager->session.get()->consent.automatic);
}

// Lines that reach the main thread after their session gave way to another are dropped.
TEST_F(SessionFlow, StaleLinesOfAnOlderSessionAreDropped) {
    launch();
    manager->start(zoom, confirmed(zoom));
    executor.runUntilIdle();
    speak("Kept line.");

    main.deferring = true; // the next batch is late reaching the main thread
    speak("Late line of the first meeting.");
    main.deferring = false;
    EXPECT_EQ(manager->live().segments.get().size(), 1u);

    manager->stop();
    executor.runUntilIdle();
    clock.advance(60);
    manager->start(meet, confirmed(meet));
    executor.runUntilIdle();
    main.release();
    executor.runUntilIdle();
    EXPECT_TRUE(manager->live().segments.get().empty());
    EXPECT_EQ(fileText(), expectedText());
}

// A transcript folder that cannot be written keeps everything in memory; the next good
// save has it all.
TEST_F(SessionFlow, UnwritableFolderKeepsLinesInMemory) {
    launch();
    manager->start(zoom, confirmed(zoom));
    executor.runUntilIdle();
    speak("Line one.");
    auto folder = manager->live().record.get()->filePath.parent_path();
    fs::remove_all(folder);
    writeFileAtomically(folder, "not a folder"); // works as root too

    speak("Line two.");
    EXPECT_EQ(manager->live().segments.get().size(), 2u);
    ASSERT_TRUE(manager->lastError.get());
    const auto& error = *manager->lastError.get();
    EXPECT_EQ(error.rfind("Couldn't save the transcript: ", 0), 0u) << error;
    EXPECT_TRUE(error.ends_with(". It is still in memory.")) << error;
    EXPECT_TRUE(
        log.contains("Saving transcript failed: " + error.substr(30, error.size() - 30 - 24)));

    fs::remove(folder);
    speak("Line three.");
    EXPECT_EQ(fileText(), expectedText());
    EXPECT_TRUE(contains(fileText(), "Line one."));
    EXPECT_TRUE(contains(fileText(), "Line two."));
}

TEST_F(SessionFlow, SleepPausesAudioAndWakeResumesIt) {
    launch();
    fakes.sleep();
    EXPECT_TRUE(log.contains("System will sleep"));
    manager->start(zoom, confirmed(zoom));
    executor.runUntilIdle();
    int evaluations = fakes.detection->evaluations;

    fakes.sleep();
    EXPECT_TRUE(fakes.capture()->paused);
    EXPECT_FALSE(manager->session.get()->pausedAt) << "sleep is not a user pause";
    fakes.wake();
    EXPECT_TRUE(log.contains("System woke; re-checking meetings"));
    EXPECT_FALSE(fakes.capture()->paused);
    EXPECT_EQ(fakes.detection->evaluations, evaluations + 1);

    manager->togglePause();
    fakes.sleep();
    fakes.wake();
    EXPECT_TRUE(fakes.capture()->paused) << "a user pause survives waking";

    manager->togglePause();
    fakes.capture()->resumeError = "Audio capture failed (resume, error 9).";
    fakes.sleep();
    fakes.wake();
    EXPECT_EQ(manager->lastError.get(), "Audio capture failed (resume, error 9).");
    EXPECT_FALSE(manager->session.get());
    EXPECT_TRUE(log.contains("Transcription stopped: resume failed"));
}

TEST_F(SessionFlow, FallingBehindIsSaidOnceAndNamesAModelThatKeepsUp) {
    std::filesystem::resize_file(makeFile(WhisperModel(WhisperModel::small).localPath()),
                                 WhisperModel(WhisperModel::small).minimumBytes());
    defaults.set(SettingsManager::Key::model, "small");
    // A machine where Base, and nothing more accurate, keeps up with the meeting alone.
    fakes.machineSpeed = MachineSpeed{
        ModelSpeed::windowWork(WhisperModel::base) / ModelSpeed::windowSeconds / 0.5, 2, "cpu"};
    grantStanding();
    launch();
    EXPECT_EQ(manager->recommendedModel(), WhisperModel::base)
        << "the microphone is off: the meeting alone";
    fakes.detection->begin(zoom);
    executor.runUntilIdle();
    const size_t before = fakes.notifications.size();

    for (int tick = 0; tick < 12; ++tick) {
        fakes.capture()->deliver(45);
        executor.advance(1);
    }
    ASSERT_TRUE(manager->fallingBehind.get());
    EXPECT_GT(manager->fallingBehind.get()->waitingSeconds, 60);
    const auto logged = log.texts();
    EXPECT_EQ(std::count_if(logged.begin(), logged.end(),
                            [](const std::string& line) {
                                return line.starts_with("Transcription is falling behind: ");
                            }),
              1);
    EXPECT_EQ(manager->fallingBehind.get()->faster, WhisperModel::base);
    EXPECT_TRUE(
        manager->fallingBehind.get()->text().starts_with("Transcription is falling behind: "))
        << manager->fallingBehind.get()->text();
    EXPECT_TRUE(manager->fallingBehind.get()->text().ends_with(
        " s of audio are waiting to be transcribed. Choose Base in Settings \u203a Transcription "
        "to keep up."));
    ASSERT_EQ(fakes.notifications.size(), before + 1);
    EXPECT_EQ(fakes.notifications.back().title, "Transcription is falling behind");
    EXPECT_TRUE(fakes.notifications.back().body.ends_with(
        "Base keeps up on this computer: choose it in Settings \u203a Transcription."));

    for (int tick = 0; tick < 12; ++tick) {
        fakes.capture()->deliver(45);
        executor.advance(1);
    }
    EXPECT_EQ(fakes.notifications.size(), before + 1) << "one notification per session";

    manager->stop();
    executor.runUntilIdle();
    fakes.detection->end(zoom);
    executor.advance(10);
    fakes.detection->begin(zoom);
    executor.runUntilIdle();
    ASSERT_TRUE(manager->session.get());
    EXPECT_FALSE(manager->fallingBehind.get()) << "a new session starts without the warning";
}

namespace tallyvox::testing {
namespace {

class SessionSpeed : public SessionHarness {};

// A faster speed figure made a model that was not downloaded the default, and every
// meeting was refused.
TEST_F(SessionSpeed, TheDefaultIsADownloadedModelAndStaysOnceUsed) {
    defaults.remove(SettingsManager::Key::model);
    fakes.machineSpeed = MachineSpeed{1e6, 2, "cpu"}; // keeps up with every model
    grantStanding();
    launch();
    EXPECT_NE(manager->recommendedModel(), WhisperModel::tiny);
    EXPECT_EQ(SettingsManager::model(stores), WhisperModel::tiny) << "the only one downloaded";
    fakes.detection->begin(zoom);
    executor.runUntilIdle();
    ASSERT_TRUE(manager->session.get()) << manager->lastError.get().value_or("");
    EXPECT_EQ(UserDefaults(defaults.file()).stringValue(SettingsManager::Key::model), "tiny")
        << "stored once used";
}

TEST_F(SessionSpeed, EachSessionKeepsWhatRecognitionCostAndTheAdviceUsesIt) {
    // The probe predicts Tiny at 0.01 s a second; recognition really takes a quarter. The
    // quantised copy asked for would not load, so the recogniser ran as the original, and the
    // cost is the original's.
    defaults.set(SettingsManager::Key::model, "tiny-q8_0");
    script->model = WhisperModel::tiny;
    fakes.machineSpeed = MachineSpeed{540, 2, "cpu"};
    script->setSegments(
        [this](std::span<const float> samples, const std::string&, const std::string&) {
            clock.advance(static_cast<double>(samples.size()) / 16000 * 0.25);
            return std::vector<WhisperSegment>{};
        });
    grantStanding();
    launch();
    fakes.detection->begin(zoom);
    executor.runUntilIdle();
    for (int tick = 0; tick < 20; ++tick) {
        fakes.capture()->deliver(3);
        executor.advance(3);
    }
    manager->stop();
    executor.runUntilIdle();
    ASSERT_EQ(fakes.keptSpeeds.size(), 1u);
    EXPECT_FALSE(fakes.keptSpeeds[0].recognition.contains("tiny-q8_0"));
    EXPECT_NEAR(fakes.keptSpeeds[0].recognition.at("tiny"), 0.25, 0.05);
    EXPECT_NEAR(ModelSpeed::predictedFactor(WhisperModel::tiny, *manager->machineSpeed(), 2), 0.5,
                0.1);
}

// Nothing keeps up on this machine and the microphone is off: the advice may not claim
// either, and the warning leaves once the waiting audio is back under the limit.
TEST_F(SessionSpeed, FallingBehindAdviceOffersWhatHelpsAndLastsOnlyWhileAudioWaits) {
    fakes.machineSpeed = MachineSpeed{1, 2, "cpu"};
    grantStanding();
    launch();
    fakes.detection->begin(zoom);
    executor.runUntilIdle();
    for (int tick = 0; tick < 12 && !manager->fallingBehind.get(); ++tick) {
        fakes.capture()->deliver(45);
        executor.advance(1);
    }
    ASSERT_TRUE(manager->fallingBehind.get());
    ASSERT_FALSE(fakes.notifications.empty());
    EXPECT_TRUE(fakes.notifications.back().body.ends_with(
        " s of audio are waiting to be transcribed. Close other busy programs."))
        << fakes.notifications.back().body;

    for (int tick = 0; tick < 600 && manager->fallingBehind.get(); ++tick)
        executor.advance(1);
    EXPECT_FALSE(manager->fallingBehind.get()) << "the warning leaves with the backlog";
    EXPECT_TRUE(manager->session.get());

    const size_t notified = fakes.notifications.size();
    for (int tick = 0; tick < 12 && !manager->fallingBehind.get(); ++tick) {
        fakes.capture()->deliver(45);
        executor.advance(1);
    }
    EXPECT_TRUE(manager->fallingBehind.get()) << "and comes back with it";
    EXPECT_EQ(fakes.notifications.size(), notified) << "without a second notification";
}

} // namespace
} // namespace tallyvox::testing

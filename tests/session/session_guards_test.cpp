// What must never happen to a user's meeting: lines lost, consent ignored, sessions that
// should not exist, a microphone that opens while paused.

#include "fakes/LockedFolder.h"
#include "session/SessionHarness.h"

using namespace tallyvox;
using namespace tallyvox::testing;
namespace fs = std::filesystem;

using SessionGuards = SessionHarness;

TEST_F(SessionGuards, RetentionNeverTrashesNothing) {
    defaults.set(SettingsManager::Key::deleteAfterDays, 0);
    auto old = makeFile(dir / "Documents/Tallyvox/2026/June/01-06-26/Zoom_Meeting_10-00.txt");
    fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(24 * 3650));
    launch();
    manager->start(zoom, confirmed(zoom));
    executor.runUntilIdle();
    manager->cleanUpOldTranscripts();
    executor.advance(AppLifecycleManager::cleanupInterval);
    EXPECT_TRUE(fakes.trashed.empty());
    EXPECT_TRUE(fs::exists(manager->live().record.get()->filePath));
}

// Turning standing consent off holds for this run even when the settings file cannot be
// written; turning it on then stays off. Either way the user is told.
TEST_F(SessionGuards, StandingConsentOffHoldsWhenItCannotBeStored) {
    grantStanding();
    launch();
    LockedFolder locked(stores.protectedFile.parent_path());
    if (!locked.active())
        GTEST_SKIP() << "no way to make a folder unwritable here";

    manager->disableAutomatic();
    EXPECT_FALSE(manager->automatic.get());
    ASSERT_TRUE(manager->lastError.get());
    EXPECT_TRUE(manager->lastError.get()->starts_with("Couldn't save the consent setting: "))
        << *manager->lastError.get();
    EXPECT_TRUE(ConsentManager::standingConsentDate(stores.protectedFile)) << "still stored";
    fakes.detection->begin(zoom);
    EXPECT_FALSE(manager->session.get()) << "no automatic start after turning it off";

    manager->enableAutomatic(false, false);
    EXPECT_FALSE(manager->automatic.get());
    fakes.detection->begin(meet);
    EXPECT_FALSE(manager->session.get());
}

TEST_F(SessionGuards, QuittingStartsNothingNew) {
    grantStanding();
    launch();
    fakes.detection->begin(zoom);
    fakes.detection->begin(meet); // runs beside it
    executor.runUntilIdle();
    int done = 0;
    manager->finishForQuit([&] { ++done; });
    executor.runUntilIdle();
    EXPECT_EQ(done, 1);
    EXPECT_FALSE(manager->session.get());
    EXPECT_EQ(fakes.captures.size(), 1u) << "no capture was started for the Meet tab";
}

// A final save that fails keeps the lines until a write works: a new session does not take
// them, nothing is reported saved before it is, and a retry brings them to disk.
TEST_F(SessionGuards, UnsavedTranscriptSurvivesTheNextSessionAndIsWrittenLater) {
    launch();
    std::vector<std::string> saved;
    auto watch = manager->savedTranscript.observe([&](const auto& file) {
        if (file)
            saved.push_back(file->string());
    });
    manager->start(zoom, confirmed(zoom));
    executor.runUntilIdle();
    speak("Words that must not be lost.");
    auto file = manager->live().record.get()->filePath;
    fs::remove_all(file.parent_path());
    writeFileAtomically(file.parent_path(), "not a folder");

    manager->stop();
    executor.runUntilIdle();
    EXPECT_FALSE(log.contains("Transcript saved")) << "the save failed";
    EXPECT_TRUE(saved.empty());
    EXPECT_EQ(manager->unsavedTranscripts(), 1u);

    clock.advance(60);
    manager->start(meet, confirmed(meet));
    executor.runUntilIdle();
    EXPECT_TRUE(manager->live().segments.get().empty());
    EXPECT_EQ(manager->unsavedTranscripts(), 1u) << "the new session kept the old lines";

    fs::remove(file.parent_path());
    executor.advance(UnsavedTranscripts::retryInterval);
    EXPECT_EQ(manager->unsavedTranscripts(), 0u);
    auto text = readWholeFile(file);
    ASSERT_TRUE(text);
    EXPECT_TRUE(contains(*text, "Words that must not be lost."));
    EXPECT_TRUE(contains(*text, "\nEnd: "));
    EXPECT_TRUE(log.contains("Transcript saved: " + file.string()));
    EXPECT_EQ(saved, std::vector<std::string>{file.string()});
}

// A menu entry of a meeting that has ended starts nothing, whichever way it is chosen.
TEST_F(SessionGuards, MeetingThatHasEndedIsRefused) {
    grantStanding();
    launch();
    auto consent = *ConsentManager::confirm(zoom, true, clock.now());
    manager->start(zoom, consent);
    EXPECT_FALSE(manager->session.get());
    EXPECT_EQ(manager->lastError.get(), "That meeting has already ended.");
    EXPECT_TRUE(log.contains("Start refused: Zoom-812 is no longer running"));
    manager->transcribeAnyway(meet);
    EXPECT_FALSE(manager->session.get());
    EXPECT_TRUE(fakes.captures.empty());
}

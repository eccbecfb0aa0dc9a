#include "base/AtomicFile.h"
#include "base/Log.h"
#include "fakes/Lines.h"
#include "fakes/ManualExecutor.h"
#include "fakes/TempDir.h"
#include "session/SessionFiles.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace tallyvox;
using namespace tallyvox::testing;
namespace fs = std::filesystem;

// A final text that cannot be written, with lines or without, stays in memory as the file
// must read; the user hears of lost lines, not of a lost explanation; one retry writes both.
TEST(SessionFiles, FinalTextThatCannotBeWrittenIsKeptAsTheFileMustRead) {
    TempDir dir;
    ManualClock clock;
    ManualExecutor main{clock};
    std::vector<fs::path> saved;
    std::vector<std::string> failures;
    SessionFiles files(main,
                       {.saved = [&](const fs::path& file) { saved.push_back(file); },
                        .failed = [&](const std::string& text) { failures.push_back(text); }});
    Log::Capture log;
    auto name = [](int speaker) { return "Speaker " + std::to_string(speaker); };
    auto logged = [&](std::string_view start) {
        auto texts = log.texts();
        return std::any_of(texts.begin(), texts.end(),
                           [&](const std::string& text) { return text.starts_with(start); });
    };

    TranscriptRecord empty;
    empty.meeting = {Platform::zoom, 812, "Zoom", false};
    empty.startedAt = clock.now();
    empty.endedAt = addSeconds(clock.now(), 60);
    empty.filePath = dir / "day/Zoom_Meeting_10-00.txt";
    TranscriptRecord spoken = empty;
    spoken.filePath = dir / "day/Zoom_Meeting_11-00.txt";
    const std::vector<TranscriptSegment> lines{line(1, 2, "Kept words.", 0)};
    writeFileAtomically(dir / "day", "not a folder");

    SessionFiles::Ending noModel;
    noModel.modelLoadError = "Couldn't load the Whisper Tiny model.";
    files.finish(empty, {}, name, noModel);
    EXPECT_TRUE(failures.empty()) << "the explanation is not the user's lines";
    EXPECT_TRUE(logged("Diagnostics not saved: "));
    EXPECT_TRUE(logged("Saving empty transcript failed: "));
    SessionFiles::Ending recognised;
    recognised.recognisedLines = 1;
    files.finish(spoken, lines, name, recognised);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_TRUE(failures[0].starts_with("Couldn't save the transcript: ")) << failures[0];
    EXPECT_EQ(files.unsaved(), 2u);
    EXPECT_TRUE(saved.empty());

    fs::remove(dir / "day");
    files.retryUnsaved();
    EXPECT_EQ(files.unsaved(), 0u);
    EXPECT_EQ(saved, (std::vector<fs::path>{empty.filePath, spoken.filePath}));
    EXPECT_EQ(
        readWholeFile(empty.filePath),
        TranscriptManager::emptySessionText(empty, TranscriptManager::modelNotLoadedMessage(
                                                       "Couldn't load the Whisper Tiny model.")));
    EXPECT_EQ(readWholeFile(spoken.filePath), TranscriptManager::text(spoken, lines, name));
}

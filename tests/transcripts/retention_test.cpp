#include "base/AtomicFile.h"
#include "base/Error.h"
#include "base/Log.h"
#include "fakes/TempDir.h"
#include "transcripts/TranscriptManager.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace tallyvox;
using namespace std::chrono;
using tallyvox::testing::TempDir;
namespace fs = std::filesystem;

namespace {

const SystemTime now = sys_days{year{2027} / January / 15} + hours{12};

// A file last modified the given number of days before `now`.
void place(const fs::path& file, int daysOld) {
    writeFileAtomically(file, "x");
    timespec t{system_clock::to_time_t(now - days{daysOld}), 0};
    timespec times[2] = {t, t};
    ::utimensat(AT_FDCWD, file.c_str(), times, 0);
}

// Stands in for the desktop Trash: moves files into a folder of its own.
struct FakeTrash {
    TempDir bin;
    std::set<std::string> trashed;
    std::set<std::string> refuse;
    int moves = 0;

    int run(const fs::path& root) {
        return TranscriptManager::trashOld(root, 30, now, [this](const fs::path& file) {
            if (refuse.count(file.filename().string()))
                throw Error("disk on fire");
            trashed.insert(file.filename().string());
            fs::rename(file, bin / std::to_string(++moves));
        });
    }
};

} // namespace

TEST(Retention, FileNameTest) {
    for (const char* name : {"Zoom_Meeting_09-30.txt", "Teams_Meeting_14-05_2.md",
                             "Meet_Meeting_00-00_17.srt", "Teams_Meeting_23-59_3.diagnostics.pdf"})
        EXPECT_TRUE(TranscriptManager::isAppFile(name)) << name;
    for (const char* name : {"Zoom_Meeting_9-30.txt", "notes.txt", "Webex_Meeting_09-30.txt",
                             "Zoom_Meeting_09-30.txt.bak", "old Zoom_Meeting_09-30.txt",
                             "Zoom_Meeting_09-30_.txt", "Zoom_Meeting_09-30.TXT"})
        EXPECT_FALSE(TranscriptManager::isAppFile(name)) << name;
}

TEST(Retention, TrashesOnlyOldAppFilesAndPrunesEmptiedFoldersInsideTheRoot) {
    TempDir root;
    place(root / "2026/December/06-12-26/Zoom_Meeting_09-30.diagnostics.txt", 31);
    place(root / "2026/December/06-12-26/.DS_Store", 400);
    fs::path keep = root / "2026/December/07-12-26";
    place(keep / "notes.txt", 400);
    place(keep / "Zoom_Meeting_9-30.txt", 400);
    place(keep / "Teams_Meeting_10-01.txt", 30); // exactly at the cutoff
    place(root / ".hidden/Meet_Meeting_08-00_2.srt", 90);
    place(root / "2025/May/01-05-25/Teams_Meeting_11-00.docx", 300);
    place(root / "2025/June/01-06-25/Teams_Meeting_11-00.docx", 300);
    fs::create_directory(root / "2025/June/.DS_Store"); // a folder by that name is no litter

    auto never = [](const fs::path& p) { ADD_FAILURE() << p; };
    EXPECT_EQ(TranscriptManager::trashOld(root.path(), 200000, now, never), 0);

    FakeTrash trash;
    Log::Capture log;
    EXPECT_EQ(trash.run(root.path() / ""), 4);
    EXPECT_EQ(trash.trashed,
              (std::set<std::string>{"Zoom_Meeting_09-30.diagnostics.txt",
                                     "Meet_Meeting_08-00_2.srt", "Teams_Meeting_11-00.docx"}));
    EXPECT_TRUE(log.contains("Moved 4 old transcript files to the Trash"));
    EXPECT_FALSE(fs::exists(root / "2026/December/06-12-26")) << "only .DS_Store was left";
    EXPECT_EQ(std::distance(fs::directory_iterator(keep), {}), 3);
    EXPECT_FALSE(fs::exists(root / ".hidden"));
    EXPECT_FALSE(fs::exists(root / "2025/May"));
    EXPECT_TRUE(fs::exists(root / "2025/June/.DS_Store"));

    // Once everything is gone the root stays, empty.
    for (auto name : {"notes.txt", "Zoom_Meeting_9-30.txt", "Teams_Meeting_10-01.txt"})
        fs::remove(keep / name);
    fs::remove_all(root / "2025");
    place(keep / "Zoom_Meeting_10-00.txt", 40);
    EXPECT_EQ(trash.run(root.path()), 1);
    EXPECT_TRUE(fs::is_directory(root.path()));
    EXPECT_TRUE(fs::is_empty(root.path()));
}

TEST(Retention, AFailedMoveIsLoggedAndTheRestGoOn) {
    TempDir root;
    place(root / "a/Zoom_Meeting_10-00.txt", 40);
    place(root / "b/Zoom_Meeting_11-00.txt", 40);
    FakeTrash trash;
    trash.refuse = {"Zoom_Meeting_10-00.txt"};
    Log::Capture log;
    EXPECT_EQ(trash.run(root.path()), 1);
    EXPECT_TRUE(log.contains("Auto-delete failed for Zoom_Meeting_10-00.txt: disk on fire"));
    EXPECT_TRUE(log.contains("Moved 1 old transcript files to the Trash"));
    EXPECT_TRUE(fs::exists(root / "a/Zoom_Meeting_10-00.txt"));
    EXPECT_FALSE(fs::exists(root / "b"));
    log.clear();
    EXPECT_EQ(trash.run(root.path()), 0);
    EXPECT_EQ(log.texts().size(), 1u) << "no count line when nothing moved";
}

TEST(Retention, LinksAreNeverFollowedAndLoopsDoNotHang) {
    TempDir root, outside;
    place(outside / "Zoom_Meeting_07-00.txt", 400);
    place(outside / "deep/Zoom_Meeting_07-01.txt", 400);
    place(root / "2026/loop/Teams_Meeting_08-00.txt", 400);
    fs::create_directory_symlink(root / "2026", root / "2026/loop/back");
    fs::create_directory_symlink(outside.path(), root / "2026/elsewhere");
    fs::create_symlink(outside / "Zoom_Meeting_07-00.txt", root / "2026/Zoom_Meeting_07-00.txt");

    FakeTrash trash;
    EXPECT_EQ(trash.run(root.path()), 1);
    EXPECT_EQ(trash.trashed, std::set<std::string>{"Teams_Meeting_08-00.txt"});
    EXPECT_TRUE(fs::exists(outside / "Zoom_Meeting_07-00.txt"));
    EXPECT_TRUE(fs::exists(outside / "deep/Zoom_Meeting_07-01.txt"));
    EXPECT_TRUE(fs::is_symlink(root / "2026/loop/back")) << "a folder holding a link stays";
}

TEST(Retention, UnreadableFoldersAreSkippedAndAMissingRootIsNothing) {
    FakeTrash trash;
    EXPECT_EQ(trash.run("/nonexistent/tallyvox"), 0);
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads every folder";
    TempDir root;
    place(root / "locked/Zoom_Meeting_10-00.txt", 40);
    place(root / "open/Zoom_Meeting_11-00.txt", 40);
    fs::permissions(root / "locked", fs::perms::none);
    EXPECT_EQ(trash.run(root.path()), 1);
    fs::permissions(root / "locked", fs::perms::owner_all);
    EXPECT_TRUE(fs::exists(root / "locked/Zoom_Meeting_10-00.txt"));
}

TEST(Retention, NeverAndTrashFoldersAreLeftAlone) {
    TempDir root;
    place(root / "2026/Zoom_Meeting_10-00.txt", 400);
    auto never = [](const fs::path& p) { ADD_FAILURE() << p; };
    for (int days : {0, -1, -100000})
        EXPECT_EQ(TranscriptManager::trashOld(root.path(), days, now, never), 0) << days;

    // A home-folder root holds the desktop Trash; a drive root holds .Trash-UID.
    place(root / ".local/share/Trash/files/Zoom_Meeting_09-00.txt", 400);
    place(root / ".Trash-1000/files/Teams_Meeting_09-00.txt", 400);
    place(root / ".Trash/Meet_Meeting_09-00.txt", 400);
    FakeTrash trash;
    EXPECT_EQ(trash.run(root.path()), 1);
    EXPECT_EQ(trash.trashed, std::set<std::string>{"Zoom_Meeting_10-00.txt"});
    EXPECT_TRUE(fs::exists(root / ".local/share/Trash/files/Zoom_Meeting_09-00.txt"));
}

TEST(Retention, CopiesOfInterruptedWritesGoAfterADay) {
    TempDir root;
    auto folder = root / "2026/December/06-12-26";
    place(folder / ".Zoom_Meeting_09-30.txt.a1B2c3", 2);
    place(folder / "..settings.plist.Zz9Yy8", 2);
    place(folder / ".Zoom_Meeting_10-30.txt.q1w2e3", 0); // a write going on now
    place(folder / ".notes.txt.a1B2c3", 2);              // not ours
    place(folder / ".Zoom_Meeting_09-30.txt.a1B2", 2);   // not the temporary-name pattern
    Log::Capture log;
    EXPECT_EQ(TranscriptManager::removeWriteLeftovers(root.path(), now), 2);
    EXPECT_TRUE(log.contains("Removed 2 leftover copies of interrupted writes"));
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder))
        left.insert(entry.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{".Zoom_Meeting_10-30.txt.q1w2e3", ".notes.txt.a1B2c3",
                                           ".Zoom_Meeting_09-30.txt.a1B2"}));
}

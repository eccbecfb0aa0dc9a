#include "transcripts/PastSearch.h"

#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sys/stat.h>
#include <thread>

using namespace tallyvox;
namespace fs = std::filesystem;
using tallyvox::testing::TempDir;

namespace {

const char* sample = "Meeting: Budget review\n"
                     "Platform: Zoom\n"
                     "Date: 6 December 2026\n"
                     "Start: 2:05 PM\n"
                     "\n"
                     "[00:00:04] Sam:\n"
                     "Good morning everyone.\n"
                     "\n"
                     "[00:00:09] Asha:\n"
                     "The BUDGET is ready.\n"
                     "\n"
                     "[00:01:15] Sam:\n"
                     "Then the budget\n"
                     "\n"
                     "goes out today.\n"
                     "\n"
                     "[00:02:00]\n"
                     "Budget noise from nobody in particular.\n";

std::vector<std::string> times(const std::vector<PastHit>& hits) {
    std::vector<std::string> out;
    for (const auto& hit : hits)
        out.push_back(hit.time);
    return out;
}

void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

// A file modified `age` seconds before the others; empty text leaves what is in it.
void writeAged(const fs::path& file, const std::string& text, int age) {
    if (!text.empty())
        write(file, text);
    fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::seconds(age));
}

std::string turns(int count, const std::string& words) {
    std::string text = "Meeting: Many\n";
    for (int i = 0; i < count; ++i)
        text += "\n[00:00:" + std::to_string(10 + i % 50) + "] Sam:\n" + words + "\n";
    return text;
}

// Posts from any thread; the test runs the tasks on its own thread when it chooses.
class QueueExecutor : public Executor {
public:
    void runAll() {
        std::vector<Task> tasks;
        {
            std::lock_guard lock(mutex_);
            tasks.swap(tasks_);
        }
        for (auto& task : tasks)
            task();
    }
    // Waits for tasks posted, never for time: a busy machine only makes it slower.
    bool waitForTasks(std::size_t count, std::chrono::seconds limit = std::chrono::seconds(60)) {
        std::unique_lock lock(mutex_);
        return posted_.wait_for(lock, limit, [&] { return tasks_.size() >= count; });
    }

protected:
    void schedule(Duration, Task task) override {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        posted_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable posted_;
    std::vector<Task> tasks_;
};

} // namespace

TEST(PastSearch, TermsSplitAtAnyWhiteSpaceAndTheSummaryCountsUpToTheLimit) {
    EXPECT_EQ(PastSearch::terms("  sam\tbudget\n\u00a0Q3  "),
              (std::vector<std::string>{"sam", "budget", "Q3"}));
    EXPECT_TRUE(PastSearch::terms(" \t\n ").empty());
    EXPECT_EQ(PastSearch::summary(0), "");
    EXPECT_EQ(PastSearch::summary(1), "1 match");
    EXPECT_EQ(PastSearch::summary(3), "3 matches");
    EXPECT_EQ(PastSearch::summary(199), "199 matches");
    EXPECT_EQ(PastSearch::summary(200), "First 200 matches");
}

TEST(PastSearch, EveryWordMustBeInOneTurnCountingTheSpeakersName) {
    const fs::path file = "/t/2026/December/06-12-26/Zoom_Meeting_14-05.txt";
    auto hits = PastSearch::search(sample, file, {"sam", "BUDGET"});
    ASSERT_EQ(hits.size(), 1u) << "Asha's budget and Sam's greeting are different turns";
    EXPECT_EQ(hits[0], (PastHit{.id = file.string() + "#0",
                                .file = file,
                                .meeting = "Budget review",
                                .date = "6 December 2026",
                                .time = "00:01:15",
                                .speaker = "Sam",
                                .text = "Then the budget goes out today."}));

    EXPECT_EQ(times(PastSearch::search(sample, file, {"budget"})),
              (std::vector<std::string>{"00:00:09", "00:01:15", "00:02:00"}))
        << "in file order, a bare time starts a turn without a speaker";
    EXPECT_EQ(PastSearch::search(sample, file, {"budget"})[2].id, file.string() + "#2");
    EXPECT_EQ(times(PastSearch::search(sample, file, {"budget"}, 2)),
              (std::vector<std::string>{"00:00:09", "00:01:15"}));
    EXPECT_TRUE(PastSearch::search(sample, file, {"budget", "zebra"}).empty());
    EXPECT_TRUE(PastSearch::search(sample, file, {"Platform"}).empty()) << "headers are no turn";
    EXPECT_TRUE(PastSearch::search(sample, file, {"the", "budget", "everyone"}).empty());

    // Any script, whole characters only.
    const std::string german = "[00:00:01] Jörg:\nDie STRASSE ist gesperrt.\n";
    EXPECT_EQ(PastSearch::search(german, file, {"straße", "JÖRG"}).size(), 1u);
    EXPECT_TRUE(PastSearch::search("[00:00:01] A:\nDie Straße.\n", file, {"stras"}).empty());
}

TEST(PastSearch, OnlyWellFormedTimeLinesStartATurn) {
    const fs::path file = "/t/Meet_Meeting_09-30.txt";
    const std::string text = "[00:00:01] Lee:\nfirst budget\n"
                             "[0:00:02] Kim:\nsecond budget\n"  // one-digit piece
                             "[00:00] Kim:\nthird budget\n"     // two pieces
                             "[00:0a:03] Kim:\nfourth budget\n" // not digits
                             "[00:00:05]Kim:\nfifth budget\n"   // no space
                             "[00:00:06] Kim\nsixth budget\n"   // no colon
                             "[100:00:07] Ana:\nseventh budget\r\n";
    auto hits = PastSearch::search(text, file, {"budget"});
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].text,
              "first budget [0:00:02] Kim: second budget [00:00] Kim: third budget [00:0a:03] "
              "Kim: fourth budget [00:00:05]Kim: fifth budget [00:00:06] Kim sixth budget");
    EXPECT_EQ(hits[1].speaker, "Ana");
    EXPECT_EQ(hits[1].time, "100:00:07");
    EXPECT_EQ(hits[1].text, "seventh budget") << "a line end saved as CR LF reads the same";
    EXPECT_EQ(hits[0].meeting, "Meet_Meeting_09-30") << "no header: the file's name";
    EXPECT_EQ(hits[0].date, "");

    const std::string empty =
        "Meeting: Zoom Meeting\nDate: 6 December 2026\n\nNo speech was transcribed. Sound was "
        "received, but Whisper found no words in it.\n";
    EXPECT_TRUE(PastSearch::search(empty, file, {"speech"}).empty()) << "no turns, no hits";
}

TEST(PastSearch, BrokenTextIsReadSafely) {
    const fs::path file = "/t/Zoom_Meeting_10-00.txt";
    // Invalid bytes, then a file cut off inside a character and inside a header.
    const std::string text =
        "[00:00:01] S\xffm:\nbudget \xc3\x28 ok\n[00:00:02] Kim:\nbudget caf\xc3";
    auto hits = PastSearch::search(text, file, {"budget"});
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].speaker, "S\uFFFDm");
    EXPECT_EQ(hits[0].text, "budget \uFFFD( ok");
    EXPECT_EQ(hits[1].text, "budget caf\uFFFD");
    EXPECT_EQ(PastSearch::search("[00:00:0", file, {"budget"}).size(), 0u);
    EXPECT_EQ(PastSearch::search("[00:00:01] Kim:\nbud", file, {"bud"}).size(), 1u);
    EXPECT_EQ(PastSearch::search(std::string("[00:00:01] Kim:\nnul\0budget", 26), file, {"budget"})
                  .size(),
              1u);
}

class PastSearchFolder : public ::testing::Test {
protected:
    TempDir dir;
    fs::path day = dir / "2026/December/06-12-26";
};

TEST_F(PastSearchFolder, ReadsOnlyTranscriptsNewestFirstAndSkipsWhatItMustNot) {
    const std::string turn = "Meeting: M\n\n[00:00:01] Sam:\nbudget\n";
    writeAged(day / "Zoom_Meeting_09-00.txt", turn, 300);
    writeAged(day / "Teams_Meeting_11-00.txt", turn, 100);
    writeAged(day / "Meet_Meeting_10-00_2.txt", turn, 200);
    // Never searched: diagnostics, exports, the user's own notes, odd names, folders.
    write(day / "Zoom_Meeting_11-00.diagnostics.txt", turn);
    write(day / "Zoom_Meeting_11-00.md", turn);
    write(day / "Zoom_Meeting_11-00.srt", turn);
    write(day / "notes.txt", turn);
    write(day / "Zoom_Meeting_9-00.txt", turn);
    write(dir / ".Trash-1000/files/Zoom_Meeting_08-00.txt", turn);
    fs::create_directories(day / "Zoom_Meeting_12-00.txt");
    // Over the size limit (and one just at it, which is read).
    write(day / "Zoom_Meeting_13-00.txt", turn);
    fs::resize_file(day / "Zoom_Meeting_13-00.txt", PastSearch::maxFileBytes + 1);
    write(day / "Zoom_Meeting_13-01.txt", turn + "\n");
    fs::resize_file(day / "Zoom_Meeting_13-01.txt", PastSearch::maxFileBytes);
    writeAged(day / "Zoom_Meeting_13-01.txt", "", 400);
    // A pipe with a transcript's name would block a reader forever.
    ASSERT_EQ(::mkfifo((day / "Zoom_Meeting_14-00.txt").c_str(), 0600), 0);

    auto files = PastSearch::transcriptFiles(dir.path());
    std::vector<std::string> names;
    for (const auto& file : files)
        names.push_back(file.filename().string());
    EXPECT_EQ(names,
              (std::vector<std::string>{"Teams_Meeting_11-00.txt", "Meet_Meeting_10-00_2.txt",
                                        "Zoom_Meeting_09-00.txt", "Zoom_Meeting_13-01.txt"}));

    auto hits = PastSearch::run(dir.path(), "SAM budget");
    ASSERT_EQ(hits.size(), 4u);
    EXPECT_EQ(hits[0].file.filename(), "Teams_Meeting_11-00.txt");
    EXPECT_EQ(hits[3].file.filename(), "Zoom_Meeting_13-01.txt");
    EXPECT_TRUE(PastSearch::run(dir.path(), "   ").empty());
    EXPECT_TRUE(PastSearch::run(dir / "missing", "budget").empty());
}

TEST_F(PastSearchFolder, ManyMatchesStopAtTheLimitTakingTheNewestFiles) {
    writeAged(day / "Zoom_Meeting_09-00.txt", turns(150, "old budget"), 60);
    writeAged(day / "Zoom_Meeting_10-00.txt", turns(100, "new budget"), 0);
    for (int threads : {1, 2, 4}) {
        auto hits = PastSearch::run(dir.path(), "budget", {}, threads);
        ASSERT_EQ(hits.size(), 200u);
        EXPECT_EQ(hits[0].text, "new budget");
        EXPECT_EQ(hits[99].text, "new budget");
        EXPECT_EQ(hits[100].text, "old budget");
        EXPECT_EQ(hits[100].id, (day / "Zoom_Meeting_09-00.txt").string() + "#0");
        EXPECT_EQ(PastSearch::summary(hits.size()), "First 200 matches");
    }
}

TEST_F(PastSearchFolder, LinksNeverLeadOutOfTheFolder) {
    TempDir outside;
    write(outside / "Zoom_Meeting_08-00.txt", "[00:00:01] Sam:\nsecret budget\n");
    fs::create_directories(outside / "folder");
    write(outside / "folder/Zoom_Meeting_08-30.txt", "[00:00:01] Sam:\nsecret budget\n");
    write(day / "Zoom_Meeting_09-00.txt", "[00:00:01] Sam:\nown budget\n");
    fs::create_directories(dir / "2025");
    fs::create_symlink(outside / "Zoom_Meeting_08-00.txt", dir / "2025/Zoom_Meeting_08-00.txt");
    fs::create_directory_symlink(outside / "folder", dir / "2025/linked");
    fs::create_directory_symlink(dir.path(), day / "loop");
    // A link to a transcript inside the folder is read, but once.
    fs::create_symlink(day / "Zoom_Meeting_09-00.txt", dir / "2025/Zoom_Meeting_09-01.txt");
    fs::create_symlink(dir / "nowhere.txt", dir / "2025/Zoom_Meeting_09-02.txt");

    auto hits = PastSearch::run(dir.path(), "budget");
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].text, "own budget");

    // Reached through a link, the folder itself is searched.
    fs::create_directory_symlink(dir.path(), outside / "Tallyvox");
    EXPECT_EQ(PastSearch::run(outside / "Tallyvox", "budget").size(), 1u);
}

TEST_F(PastSearchFolder, UnreadableFilesAndFoldersAreSkipped) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads everything";
    write(day / "Zoom_Meeting_09-00.txt", "[00:00:01] Sam:\nbudget\n");
    write(dir / "2025/Zoom_Meeting_09-00.txt", "[00:00:01] Sam:\nbudget\n");
    write(day / "Zoom_Meeting_10-00.txt", "[00:00:01] Sam:\nbudget\n");
    fs::permissions(day / "Zoom_Meeting_10-00.txt", fs::perms::none);
    fs::permissions(dir / "2025", fs::perms::none);
    auto hits = PastSearch::run(dir.path(), "budget");
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].file, day / "Zoom_Meeting_09-00.txt");
}

TEST_F(PastSearchFolder, AStartedSearchCancelsTheOneBeforeWhoseHitsAreNeverDelivered) {
    for (int i = 0; i < 40; ++i)
        write(day / ("Zoom_Meeting_10-" + std::string(i < 10 ? "0" : "") + std::to_string(i) +
                     ".txt"),
              turns(100, "budget talk"));
    QueueExecutor main;
    std::vector<std::string> delivered;
    {
        PastSearch::Searcher searcher(main);
        searcher.start(dir.path(), "budget", [&](auto hits) {
            delivered.push_back("first " + std::to_string(hits.size()));
        });
        // The first search finished and its hits wait on the main thread...
        ASSERT_TRUE(main.waitForTasks(1));
        EXPECT_TRUE(searcher.isRunning());
        // ...when a newer one starts: both hand-overs reach the main thread, only the newer
        // delivers.
        searcher.start(dir.path(), "talk", [&](auto hits) {
            delivered.push_back("second " + std::to_string(hits.size()));
        });
        EXPECT_TRUE(searcher.isRunning());
        ASSERT_TRUE(main.waitForTasks(2));
        main.runAll();
        EXPECT_EQ(delivered, (std::vector<std::string>{"second 200"}));
        EXPECT_FALSE(searcher.isRunning());

        // Cancelled, or gone: nothing arrives.
        searcher.start(dir.path(), "budget", [&](auto) { delivered.push_back("third"); });
        searcher.cancel();
        EXPECT_FALSE(searcher.isRunning());
        searcher.start(dir.path(), "budget", [&](auto) { delivered.push_back("fourth"); });
    }
    // The searcher's end joined its worker, so whatever it posted is queued by now.
    main.runAll();
    EXPECT_EQ(delivered.size(), 1u);

    // A stop asked for midway returns early.
    std::stop_source stopper;
    stopper.request_stop();
    EXPECT_TRUE(PastSearch::run(dir.path(), "budget", stopper.get_token()).empty());
}

// Files saved by other editors: a byte-order mark before "Meeting:", accents typed as a letter
// and a combining mark (as some keyboards and macOS file names give them).
TEST_F(PastSearchFolder, AByteOrderMarkAndDecomposedAccentsSearchLikeAnyOtherText) {
    const fs::path file = day / "Zoom_Meeting_14-05.txt";
    write(file, "\xEF\xBB\xBF" + std::string(sample));
    auto hits = PastSearch::run(dir.path(), "asha budget");
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].meeting, "Budget review");
    EXPECT_EQ(hits[0].date, "6 December 2026");

    // "café" and "Zürich" with U+0301 and U+0308; the marks of "ệ" in either order.
    const std::string decomposed = "Meeting: Cafe\xCC\x81 planning\n\n"
                                   "[00:00:04] Jo\xCC\x88rg:\n"
                                   "The cafe\xCC\x81 in Zu\xCC\x88rich opens.\n"
                                   "\n[00:00:09] Lin:\n"
                                   "Tie\xCC\xA3\xCC\x82n ve\xCC\x82\xCC\xA3 ngay.\n";
    write(file, decomposed);
    hits = PastSearch::run(dir.path(), "CAFÉ zürich jörg");
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].meeting, "Café planning");
    EXPECT_EQ(hits[0].speaker, "Jörg");
    EXPECT_EQ(hits[0].text, "The café in Zürich opens.");
    EXPECT_EQ(PastSearch::run(dir.path(), "tiện vệ").size(), 1u);
    // A decomposed query finds composed text, and a query never matches half a letter.
    EXPECT_EQ(PastSearch::search("[00:00:01] A:\nLe café.\n", file, {"cafe\xCC\x81"}).size(), 1u);
    EXPECT_TRUE(PastSearch::search(decomposed, file, {"cafe"}).empty());
}

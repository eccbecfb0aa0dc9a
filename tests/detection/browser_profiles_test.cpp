// Several profiles of one running browser: which session files count, and what one broken
// file may hide.

#include "SessionFileWriters.h"
#include "base/AtomicFile.h"
#include "base/Log.h"
#include "detection/DetectionFakes.h"
#include "detection/WebMeetingDetection.h"
#include "detection/linux/BrowserSessionFiles.h"
#include "detection/linux/BrowserSessionFormats.h"
#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace tallyvox;
using namespace tallyvox::testing;
namespace fs = std::filesystem;
using WallClock = std::chrono::system_clock;
using Urls = std::vector<std::string>;
using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;

namespace {

constexpr std::int32_t browserPid = 4242;

// A /proc holding one process that started at `started`, on a system booted a day before.
struct FakeProc {
    TempDir root;
    explicit FakeProc(WallClock::time_point started) {
        const auto booted = std::chrono::floor<seconds>(started) - hours(24);
        const auto ticks =
            std::chrono::duration_cast<std::chrono::milliseconds>(started - booted).count() *
            ::sysconf(_SC_CLK_TCK) / 1000;
        std::string stat = "cpu  10 0 10 1000 0 0 0 0 0 0\nintr 123 0 0 0\nbtime ";
        stat += std::to_string(booted.time_since_epoch() / seconds(1));
        stat += "\nprocesses 5000\n";
        writeFileAtomically(root / "stat", stat);
        std::string own = std::to_string(browserPid);
        own += " (chromium) S 1 4242 4242 0 -1 4194560 1 0 0 0 0 0 0 0 20 0 9 0 ";
        own += std::to_string(ticks);
        own += " 1000 10\n";
        writeFileAtomically(root / (std::to_string(browserPid) + "/stat"), own);
    }
    std::string path() const { return root.path().string(); }
};

void writeSession(const fs::path& file, const std::string& bytes, WallClock::time_point written) {
    writeFileAtomically(file, bytes);
    fs::last_write_time(file, fs::file_time_type::clock::from_sys(written));
}

std::string tab(const std::string& url) {
    return SnssWriter().navigation(1, 0, url).bytes();
}

std::string firefoxTab(const std::string& url) {
    return mozLz4(R"({"windows":[{"tabs":[{"entries":[{"url":")" + url + R"("}],"index":1}]}]})");
}

fs::path chromiumSession(const TempDir& home, const std::string& profile, const std::string& name) {
    return home / (".config/chromium/" + profile + "/Sessions/" + name);
}

const Browser& chromium() {
    return *Browsers::forBinary("chromium");
}

} // namespace

TEST(BrowserSessionFiles, EveryProfileSavedSinceTheBrowserStartedIsRead) {
    TempDir home;
    const auto now = WallClock::now();
    const auto started = now - minutes(30);
    FakeProc proc(started);
    const std::string meet = "https://meet.google.com/abc-defg-hij";

    // Work saved a minute ago; personal, with the meeting, saved less recently.
    writeSession(chromiumSession(home, "Default", "Session_3"), tab("https://teams.live.com/"),
                 now - minutes(1));
    writeSession(chromiumSession(home, "Default", "Session_2"), tab("https://older.example/"),
                 now - minutes(20));
    writeSession(chromiumSession(home, "Profile 1", "Session_1"), tab(meet), now - minutes(10));
    // Written just before the start as the process saw it: clock granularity, still open.
    writeSession(chromiumSession(home, "Profile 2", "Session_1"), tab("https://edge.example/"),
                 started - seconds(1));
    // Closed before this browser started.
    writeSession(chromiumSession(home, "Profile 3", "Session_1"), tab("https://closed.example/"),
                 started - seconds(5));
    writeSession(home / "snap/chromium/common/chromium/Default/Sessions/Session_1",
                 tab("https://zoom.us/wc/1/join"), now - hours(3));

    BrowserSessionFiles files(home.path(), proc.path());
    auto read = files.read(chromium(), browserPid);
    EXPECT_EQ(read.unreadable, std::nullopt);
    EXPECT_EQ(read.urls, (Urls{"https://teams.live.com/", meet, "https://edge.example/"}));

    // Detection sees the meeting in the profile that saved less recently.
    Observable<std::set<std::string>> unreadable;
    WebMeetingDetection web(std::make_shared<BrowserSessionFiles>(home.path(), proc.path()),
                            unreadable);
    DetectionChoices choices{.enabled = [] { return true; },
                             .watches = [](Platform) { return true; },
                             .observe = {},
                             .web = [] { return true; }};
    auto sightings = web.sightings(
        {recording(browserPid, "chromium"), playing(browserPid, "chromium")}, choices, 0,
        [](std::int32_t, const Browser&) { return true; }, [](std::int32_t pid) { return pid; });
    ASSERT_EQ(sightings.size(), 2u);
    EXPECT_EQ(sightings[0].platform, Platform::teams);
    EXPECT_EQ(sightings[1].platform, Platform::meet);

    // Firefox runs a process per profile, but the rule is the same.
    const auto& firefox = *Browsers::forBinary("firefox");
    const std::string profiles = ".mozilla/firefox/";
    writeSession(home / (profiles + "a.work/sessionstore-backups/recovery.jsonlz4"),
                 firefoxTab("https://teams.live.com/"), now - seconds(10));
    writeSession(home / (profiles + "b.personal/sessionstore-backups/recovery.jsonlz4"),
                 firefoxTab(meet), now - minutes(2));
    writeSession(home / (profiles + "c.old/sessionstore-backups/recovery.jsonlz4"),
                 firefoxTab("https://closed.example/"), now - hours(2));
    EXPECT_EQ(files.read(firefox, browserPid).urls, (Urls{"https://teams.live.com/", meet}));

    // Only closed profiles: nothing open has been saved yet, which is no failure.
    TempDir stale;
    writeSession(chromiumSession(stale, "Default", "Session_1"), tab("https://closed.example/"),
                 started - minutes(1));
    read = BrowserSessionFiles(stale.path(), proc.path()).read(chromium(), browserPid);
    EXPECT_EQ(read.unreadable, std::nullopt);
    EXPECT_TRUE(read.urls.empty());
}

// Where each browser writes its session today, every release channel and install included: a
// meeting in any of them is found.
TEST(BrowserSessionFiles, EachBrowserIsReadWhereItWritesItsSession) {
    const auto now = WallClock::now();
    FakeProc proc(now - minutes(30));
    const std::string meet = "https://meet.google.com/abc-defg-hij";
    const std::vector<std::pair<std::string, std::string>> places = {
        {"chrome", ".config/google-chrome/Default/Sessions/Session_1"},
        {"chrome", ".config/google-chrome-beta/Default/Sessions/Session_1"},
        {"chrome", ".config/google-chrome-unstable/Profile 1/Sessions/Session_1"},
        {"msedge", ".config/microsoft-edge-beta/Default/Sessions/Session_1"},
        {"msedge", ".config/microsoft-edge-dev/Default/Sessions/Session_1"},
        {"chromium", "snap/chromium/common/chromium/Default/Sessions/Session_1"},
        {"firefox", ".mozilla/firefox/x1y2.default-esr/sessionstore-backups/recovery.jsonlz4"},
        {"firefox", ".config/mozilla/firefox/a1b2.default-release/sessionstore-backups/"
                    "recovery.jsonlz4"},
        {"firefox", "snap/firefox/common/.config/mozilla/firefox/c3.default/sessionstore-backups/"
                    "recovery.jsonlz4"},
        {"firefox", ".var/app/org.mozilla.firefox/config/mozilla/firefox/d4.default/"
                    "sessionstore-backups/recovery.jsonlz4"},
    };
    for (const auto& [binary, place] : places) {
        TempDir home;
        const auto& browser = *Browsers::forBinary(binary);
        writeSession(home / place,
                     browser.family == BrowserFamily::firefox ? firefoxTab(meet) : tab(meet),
                     now - minutes(1));
        auto read = BrowserSessionFiles(home.path(), proc.path()).read(browser, browserPid);
        EXPECT_EQ(read.urls, Urls{meet}) << place;
    }
}

TEST(BrowserSessionFiles, TheConfigurationFolderFollowsXdgConfigHomeButNotInsideSnaps) {
    const auto now = WallClock::now();
    FakeProc proc(now - minutes(30));
    const std::string meet = "https://meet.google.com/abc-defg-hij";
    TempDir home;
    TempDir config;
    const BrowserSessionFiles::UserFolders folders{home.path(), config.path()};
    writeSession(config / "google-chrome/Default/Sessions/Session_1", tab(meet), now - minutes(1));
    writeSession(config /
                     "mozilla/firefox/a1.default-release/sessionstore-backups/recovery.jsonlz4",
                 firefoxTab(meet), now - minutes(1));
    // The snap keeps its own ~/.config inside its home, wherever the host's is.
    writeSession(home / "snap/firefox/common/.config/mozilla/firefox/b2.default/"
                        "sessionstore-backups/recovery.jsonlz4",
                 firefoxTab("https://teams.live.com/"), now - minutes(2));
    // Where $XDG_CONFIG_HOME is elsewhere, ~/.config is not the browser's.
    writeSession(home / ".config/google-chrome/Default/Sessions/Session_1",
                 tab("https://zoom.us/wc/1/join"), now - minutes(1));

    BrowserSessionFiles files(folders, proc.path());
    EXPECT_EQ(files.read(*Browsers::forBinary("chrome"), browserPid).urls, Urls{meet});
    EXPECT_EQ(files.read(*Browsers::forBinary("firefox"), browserPid).urls,
              (Urls{meet, "https://teams.live.com/"}));

    ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(BrowserSessionFiles::UserFolders::ofUser().config,
              BrowserSessionFiles::UserFolders::ofUser().home / ".config");
    ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    EXPECT_EQ(BrowserSessionFiles::UserFolders::ofUser().config, config.path());
    ::unsetenv("XDG_CONFIG_HOME");
}

TEST(BrowserSessionFiles, FirefoxProfilesListedOutsideItsFolderAreReadOnlyInsideHome) {
    const auto now = WallClock::now();
    FakeProc proc(now - minutes(30));
    TempDir home;
    TempDir elsewhere;
    const auto store = [](const fs::path& profile) {
        return profile / "sessionstore-backups/recovery.jsonlz4";
    };
    const auto root = home / ".mozilla/firefox";
    // Made with the profile manager's "Choose Folder…": kept anywhere, listed by absolute path.
    writeSession(store(home / "Work/ff-profile"), firefoxTab("https://teams.live.com/"),
                 now - minutes(1));
    writeSession(store(home / "Shared/ff-install"), firefoxTab("https://zoom.us/wc/1/join"),
                 now - minutes(2));
    writeSession(store(root / "Profiles/x1.default"), firefoxTab("https://meet.google.com/a"),
                 now - minutes(3));
    writeSession(store(elsewhere / "ff"), firefoxTab("https://meet.google.com/elsewhere"),
                 now - minutes(1));
    writeFileAtomically(root / "profiles.ini",
                        "[General]\r\nStartWithLastProfile=1\r\n\r\n"
                        "[Profile0]\r\nName=work\r\nIsRelative=0\r\nPath=" +
                            (home / "Work/ff-profile").string() +
                            "\r\n\r\ndamaged line without an equals sign\r\n"
                            "[Profile1]\nName=nested\nIsRelative=1\nPath=Profiles/x1.default\n"
                            "[Profile2]\nIsRelative=0\nPath=" +
                            (elsewhere / "ff").string() + "\n");
    writeFileAtomically(root / "installs.ini",
                        "[4F96D1932A9F858E]\nDefault=" + (home / "Shared/ff-install").string() +
                            "\nLocked=1\n");

    auto read = BrowserSessionFiles(home.path(), proc.path())
                    .read(*Browsers::forBinary("firefox"), browserPid);
    EXPECT_EQ(read.urls, (Urls{"https://teams.live.com/", "https://zoom.us/wc/1/join",
                               "https://meet.google.com/a"}));
    auto listed = BrowserSessionFiles::profileSessionFiles(
        *Browsers::forBinary("firefox"), BrowserSessionFiles::UserFolders::under(home.path()));
    ASSERT_TRUE(listed.problem);
    EXPECT_EQ(*listed.problem, "its profile folder " + (elsewhere / "ff").string() + " named in " +
                                   (root / "profiles.ini").string() +
                                   " is outside the home folder");
}

TEST(BrowserSessionFormats, ProfileListsAreReadLineByLineAndBounded) {
    using BrowserSessionFormats::firefoxProfilePaths;
    using Path = BrowserSessionFormats::ProfilePath;
    using namespace std::literals;
    EXPECT_EQ(firefoxProfilePaths("; comment\n[Profile0]\n  Path = a b.default \nIsRelative=1\n"
                                  "[Install1]\nDefault=/home/ada/ff\n[Profile1]\nPath=\n"
                                  "Path=x\0y\n[Broken\nPath=ignored.default\n"sv),
              (std::vector<Path>{{"a b.default", true}, {"/home/ada/ff", false}}))
        << "the last group before a broken header takes nothing from after it";
    std::string many;
    for (int i = 0; i < 1000; ++i)
        many += "[P" + std::to_string(i) + "]\nPath=p" + std::to_string(i) + "\n";
    EXPECT_EQ(firefoxProfilePaths(many).size(), BrowserSessionFormats::maxIniProfiles);
    EXPECT_TRUE(
        firefoxProfilePaths("[P]\nPath=x\n" + std::string(BrowserSessionFormats::maxIniBytes, '#'))
            .empty());
}

TEST(BrowserSessionFiles, WithoutTheBrowsersStartOnlyTheNewestFileIsRead) {
    TempDir home;
    const auto now = WallClock::now();
    writeSession(chromiumSession(home, "Default", "Session_1"), tab("https://newest.example/"),
                 now - minutes(1));
    writeSession(chromiumSession(home, "Profile 1", "Session_1"), tab("https://older.example/"),
                 now - minutes(5));

    FakeProc proc(now - hours(1));
    const std::string pidStat = proc.path() + "/" + std::to_string(browserPid) + "/stat";
    const std::string systemStat = proc.path() + "/stat";
    struct Case {
        std::string what;
        std::function<void()> breakIt;
        std::int32_t pid = browserPid;
    };
    for (const auto& [what, breakIt, pid] : std::vector<Case>{
             {"another process", [] {}, browserPid + 1},
             {"no process at all", [] {}, 0},
             {"a cut stat line", [&] { writeFileAtomically(pidStat, "4242 (chromium) S 1 2"); }},
             {"a start that is no number",
              [&] {
                  writeFileAtomically(pidStat, "4242 (chromium) S 1 4242 4242 0 -1 4194560 1 0 0 "
                                               "0 0 0 0 0 20 0 9 0 soon 1000 10\n");
              }},
             {"no boot time", [&] { writeFileAtomically(systemStat, "cpu 1 2 3\nbtime\n"); }},
             {"no system stat", [&] { fs::remove(systemStat); }}}) {
        breakIt();
        auto read = BrowserSessionFiles(home.path(), proc.path()).read(chromium(), pid);
        EXPECT_EQ(read.unreadable, std::nullopt) << what;
        EXPECT_EQ(read.urls, Urls{"https://newest.example/"}) << what;
    }
}

TEST(BrowserSessionFiles, ADamagedProfileDoesNotHideTheOthers) {
    TempDir home;
    const auto now = WallClock::now();
    FakeProc proc(now - hours(1));
    Log::Capture log;
    writeSession(chromiumSession(home, "Default", "Session_1"), SnssWriter(2).bytes(),
                 now - minutes(1));
    writeSession(chromiumSession(home, "Profile 1", "Session_1"),
                 tab("https://meet.google.com/abc-defg-hij"), now - minutes(2));

    BrowserSessionFiles files(home.path(), proc.path());
    for (int round = 0; round < 2; ++round) {
        auto read = files.read(chromium(), browserPid);
        EXPECT_EQ(read.unreadable, std::nullopt);
        EXPECT_EQ(read.urls, Urls{"https://meet.google.com/abc-defg-hij"});
    }
    const std::string partial = "Some tabs of Chromium cannot be read: the session file is "
                                "encrypted (profile Default)";
    auto texts = log.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), partial), 1) << "logged once, not each read";

    // Nothing readable at all: unreadable, with every reason.
    writeSession(chromiumSession(home, "Profile 1", "Session_1"), "garbage", now - minutes(2));
    auto read = files.read(chromium(), browserPid);
    EXPECT_TRUE(read.urls.empty());
    ASSERT_TRUE(read.unreadable);
    EXPECT_NE(read.unreadable->find("encrypted (profile Default)"), std::string::npos)
        << *read.unreadable;
    EXPECT_NE(read.unreadable->find("not a session file (profile Profile 1)"), std::string::npos)
        << *read.unreadable;
}

TEST(BrowserSessionFiles, AtMostSoManyProfilesAreReadAtOnce) {
    const auto now = WallClock::now();
    FakeProc proc(now - hours(1));
    Log::Capture log;
    // More profiles open than are read at once: the newest are read, the rest reported.
    TempDir many;
    const std::size_t open = BrowserSessionFiles::maxFilesPerRead + 2;
    for (std::size_t i = 0; i < open; ++i)
        writeSession(chromiumSession(many, "Profile " + std::to_string(i), "Session_1"),
                     tab("https://p" + std::to_string(i) + ".example/"),
                     now - seconds(static_cast<int>(i) + 1));
    auto read = BrowserSessionFiles(many.path(), proc.path()).read(chromium(), browserPid);
    ASSERT_EQ(read.urls.size(), BrowserSessionFiles::maxFilesPerRead);
    EXPECT_EQ(read.urls.front(), "https://p0.example/");
    EXPECT_TRUE(log.contains("Some tabs of Chromium cannot be read: 2 more open profiles were not "
                             "read (at most 16 are read at once)"));
}

// One rule for links in profile folders: followed while they stay inside the real path of the
// browser's profile folder, refused with a plain reason when they lead anywhere else.
TEST(BrowserSessionFiles, LinksAreFollowedOnlyInsideTheProfileFolder) {
    TempDir home;
    TempDir elsewhere;
    const auto now = WallClock::now();
    FakeProc proc(now - hours(1));
    Log::Capture log;
    const std::string meet = "https://meet.google.com/abc-defg-hij";
    const fs::path root = home / ".config/chromium";

    // A session file that is a link to a copy kept beside it in the profile folder.
    writeSession(root / "Kept/session.snss", tab(meet), now - minutes(1));
    fs::create_directories(root / "Default/Sessions");
    fs::create_symlink(root / "Kept/session.snss", root / "Default/Sessions/Session_1");
    // A profile folder that is a link out of the profile folder, and a session file that is.
    writeSession(elsewhere / "Stolen/Sessions/Session_1", tab("https://outside.example/"),
                 now - minutes(2));
    fs::create_directory_symlink(elsewhere / "Stolen", root / "Profile 9");
    writeSession(elsewhere / "loose.snss", tab("https://loose.example/"), now - minutes(3));
    fs::create_directories(root / "Profile 2/Sessions");
    fs::create_symlink(elsewhere / "loose.snss", root / "Profile 2/Sessions/Session_1");

    BrowserSessionFiles files(home.path(), proc.path());
    auto read = files.read(chromium(), browserPid);
    EXPECT_EQ(read.unreadable, std::nullopt);
    EXPECT_EQ(read.urls, Urls{meet});
    bool explained = false;
    for (const auto& text : log.texts())
        explained = explained || (text.starts_with("Some tabs of Chromium cannot be read: its ") &&
                                  text.find("leads out of") != std::string::npos);
    EXPECT_TRUE(explained) << "the refusal is said in the log";

    // Nothing left inside: the browser is unreadable, and says why.
    fs::remove_all(root / "Default");
    fs::remove_all(root / "Kept");
    read = files.read(chromium(), browserPid);
    ASSERT_TRUE(read.unreadable);
    EXPECT_NE(read.unreadable->find("leads out of"), std::string::npos) << *read.unreadable;

    // The profile folder itself may be a link (kept on another disk): what is inside counts.
    TempDir linked;
    writeSession(elsewhere / "chromium/Default/Sessions/Session_1", tab(meet), now - minutes(1));
    fs::create_directories(linked / ".config");
    fs::create_directory_symlink(elsewhere / "chromium", linked / ".config/chromium");
    read = BrowserSessionFiles(linked.path(), proc.path()).read(chromium(), browserPid);
    EXPECT_EQ(read.unreadable, std::nullopt);
    EXPECT_EQ(read.urls, Urls{meet});
}

// A FIFO put where the session file was, between listing the profile and opening the file,
// must not block the read: it is refused like anything else that is no plain file.
TEST(BrowserSessionFiles, AFifoSwappedInIsRefusedNotWaitedOn) {
    TempDir home;
    TempDir side;
    const auto now = WallClock::now();
    FakeProc proc(now - hours(1));
    const fs::path session = chromiumSession(home, "Default", "Session_1");
    writeSession(session, tab("https://teams.live.com/"), now - minutes(1));
    writeSession(side / "plain", tab("https://teams.live.com/"), now - minutes(1));
    ASSERT_EQ(::mkfifo((side / "fifo").c_str(), 0600), 0);

    // Swaps the plain file and the FIFO in at the session's path as fast as it can.
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        for (int turn = 0; !done; ++turn) {
            const fs::path next = side / "next";
            std::error_code ignored;
            fs::remove(next, ignored);
            fs::create_hard_link(side / (turn % 2 ? "fifo" : "plain"), next, ignored);
            fs::rename(next, session, ignored);
        }
    });
    auto reads = std::async(std::launch::async, [&] {
        BrowserSessionFiles files(home.path(), proc.path());
        int answered = 0;
        for (int i = 0; i < 300; ++i, ++answered)
            files.read(chromium(), browserPid);
        return answered;
    });
    const bool finished = reads.wait_for(seconds(20)) == std::future_status::ready;
    done = true;
    // A reader stuck on the FIFO is let go by a writer, so the test can end either way.
    while (reads.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        const int fd = ::open((side / "fifo").c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
    }
    swapper.join();
    EXPECT_TRUE(finished) << "a read blocked on the FIFO";
    EXPECT_EQ(reads.get(), 300);
}

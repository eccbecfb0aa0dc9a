#include "detection/NativeMeetingDetection.h"

#include "SessionFileWriters.h"
#include "base/AtomicFile.h"
#include "base/Log.h"
#include "detection/DetectionFakes.h"
#include "detection/linux/BrowserSessionFiles.h"
#include "fakes/ManualExecutor.h"
#include "fakes/TempDir.h"
#include "session/DetectionSettings.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace tallyvox;
using namespace tallyvox::testing;
namespace Key = SettingsManager::Key;

namespace {

const std::string chromeExe = "/opt/google/chrome/chrome";
const std::string firefoxExe = "/usr/lib/firefox-esr/firefox-esr";

class FakeTabs : public BrowserTabs {
public:
    Read read(const Browser& browser, std::int32_t pid) override {
        reads.push_back(browser.name + " " + std::to_string(pid));
        return answers[browser.name];
    }
    std::map<std::string, Read> answers;
    std::vector<std::string> reads;
};

struct WebDetection : ::testing::Test {
    TempDir dir;
    UserDefaults defaults{dir / "preferences.plist"};
    SettingsStores stores{defaults, dir / ".settings.plist"};
    ManualClock clock;
    ManualExecutor main{clock};
    std::shared_ptr<FakeProcessList> list = std::make_shared<FakeProcessList>();
    std::shared_ptr<FakeProcessInfo> info = std::make_shared<FakeProcessInfo>();
    std::shared_ptr<FakeTabs> tabs = std::make_shared<FakeTabs>();
    std::unique_ptr<NativeMeetingDetection> detection;
    Log::Capture log;

    void SetUp() override {
        SettingsManager::registerDefaults(stores, "Ada");
        info->addSystemFile(chromeExe);
        info->packages[chromeExe] = {"google-chrome-stable"};
        info->run(900, chromeExe);      // the browser
        info->run(901, chromeExe, 900); // its audio service
        info->addSystemFile(firefoxExe);
        info->packages[firefoxExe] = {"firefox-esr"};
        info->run(700, firefoxExe);
        info->run(701, firefoxExe, 700);
        detection = std::make_unique<NativeMeetingDetection>(
            main, clock, list, info, AppGenuineness::vendors(),
            SessionSettings::detectionChoices(stores), &main, tabs, &main);
        detection->start();
    }
    void showTabs(const std::string& browser, std::vector<std::string> urls) {
        tabs->answers[browser] = {std::move(urls), std::nullopt};
    }
    std::vector<std::string> ids() {
        main.advance(2);
        std::vector<std::string> out;
        for (const auto& m : detection->meetings.get())
            out.push_back(m.id() + " " + m.appName + (m.isWeb ? " web" : ""));
        return out;
    }
};

} // namespace

TEST_F(WebDetection, MeetNeedsSoundOnceTeamsAndZoomNeedOnlyARecordingBrowser) {
    showTabs("Google Chrome", {"https://meet.google.com/abc-defg-hij", "https://mail.example/"});
    list->set({recording(901, "chrome")});
    EXPECT_TRUE(ids().empty()) << "a Meet tab that was never heard";

    list->set({recording(901, "chrome"), playing(901, "chrome")});
    EXPECT_EQ(ids(), std::vector<std::string>{"Meet-900 Google Chrome web"})
        << "the browser's main process carries the meeting";
    list->set({recording(901, "chrome")});
    main.advance(30);
    EXPECT_EQ(ids().size(), 1u) << "once heard, silence keeps it";

    showTabs("Firefox", {"https://teams.microsoft.com/v2/", "https://us02web.zoom.us/wc/1/join"});
    list->set({recording(901, "chrome"), recording(701, "firefox-esr")});
    EXPECT_EQ(ids(), (std::vector<std::string>{"Meet-900 Google Chrome web",
                                               "Teams-700 Firefox web", "Zoom-700 Firefox web"}));

    defaults.set(Key::detectMeet, false);
    main.advance(11);
    EXPECT_EQ(ids().size(), 2u) << "Meet switched off";
    defaults.set(Key::detectWeb, false);
    main.advance(11);
    EXPECT_TRUE(ids().empty()) << "web meetings switched off";
}

TEST_F(WebDetection, TabsAreReadEveryTenSecondsAndAgainAtOnceOnTheNextRecording) {
    showTabs("Google Chrome", {"https://teams.live.com/"});
    list->set({recording(901, "chrome")});
    main.advance(9);
    EXPECT_EQ(tabs->reads, std::vector<std::string>{"Google Chrome 900"});
    main.advance(2);
    EXPECT_EQ(tabs->reads.size(), 2u);

    list->set({});
    main.advance(1);
    list->set({recording(901, "chrome")});
    main.advance(0.5);
    EXPECT_EQ(tabs->reads.size(), 3u) << "the cache went with the recording";
}

TEST_F(WebDetection, UnreadableTabsAreSaidAndFakeBrowsersIgnored) {
    tabs->answers["Firefox"] = {{}, "the session file is encrypted"};
    list->set({recording(701, "firefox-esr")});
    main.advance(1);
    EXPECT_EQ(detection->automationDenied.get(), std::set<std::string>{"Firefox"});
    EXPECT_TRUE(log.contains("Tab URL read failed for Firefox: the session file is encrypted"));
    showTabs("Firefox", {"https://teams.live.com/"});
    main.advance(11);
    EXPECT_TRUE(detection->automationDenied.get().empty()) << "a read that works clears it";

    info->addUserFile("/home/ada/bin/chrome");
    info->run(950, "/home/ada/bin/chrome");
    list->set({recording(950, "chrome"), playing(950, "chrome")});
    showTabs("Google Chrome", {"https://teams.live.com/"});
    main.advance(20);
    for (const auto& id : ids())
        EXPECT_EQ(id.find("Google Chrome"), std::string::npos) << id;
    auto texts = log.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(),
                         "Ignored Google Chrome: not signed by the browser's maker"),
              1);
}

TEST_F(WebDetection, TheChromiumSnapsChromeIsChromiumAndNoFakeOfGoogleChrome) {
    // The snap runs its browser as "chrome", the name Google Chrome runs under.
    const std::string snapExe = "/snap/chromium/3002/usr/lib/chromium-browser/chrome";
    info->addSystemFile(snapExe);
    info->run(600, snapExe).cgroup = "0::/user.slice/app.slice/snap.chromium.chromium-1.scope\n";
    info->run(601, snapExe, 600).cgroup =
        "0::/user.slice/app.slice/snap.chromium.chromium-1.scope\n";
    showTabs("Chromium", {"https://teams.live.com/"});
    showTabs("Google Chrome", {"https://us02web.zoom.us/wc/1/join"});
    list->set({recording(601, "chrome")});
    EXPECT_EQ(ids(), std::vector<std::string>{"Teams-600 Chromium web"});

    // Both at once: each recording process is the browser its maker made.
    list->set({recording(601, "chrome"), recording(901, "chrome")});
    main.advance(11);
    EXPECT_EQ(ids(),
              (std::vector<std::string>{"Teams-600 Chromium web", "Zoom-900 Google Chrome web"}));
    for (const auto& text : log.texts())
        EXPECT_FALSE(text.starts_with("Ignored")) << text;
}

TEST(BrowserSessionFiles, TheNewestSessionAcrossProfilesAndInstallsIsRead) {
    TempDir home;
    const auto& browsers = Browsers::all();
    const Browser& chromium = *Browsers::forBinary("chromium");
    const Browser& firefox = *Browsers::forBinary("firefox");
    ASSERT_EQ(browsers.size(), 5u);
    // Without the browser's start time the newest file alone is read.
    const std::int32_t noProcess = 0;

    EXPECT_EQ(BrowserSessionFiles(home.path()).read(chromium, noProcess).unreadable,
              "no session file was found in its profile folders");

    auto old = home / ".config/chromium/Default/Sessions/Session_13350000000000000";
    auto newer =
        home / "snap/chromium/common/chromium/Profile 1/Sessions/Session_13360000000000000";
    auto closed = home / ".config/chromium/Default/Sessions/Tabs_13370000000000000";
    writeFileAtomically(old, SnssWriter().navigation(1, 0, "https://old.example/").bytes());
    writeFileAtomically(newer, SnssWriter().navigation(1, 0, "https://teams.live.com/").bytes());
    writeFileAtomically(closed, SnssWriter().navigation(1, 0, "https://closed.example/").bytes());
    std::filesystem::last_write_time(old, std::filesystem::file_time_type::clock::now() -
                                              std::chrono::hours(1));
    auto read = BrowserSessionFiles(home.path()).read(chromium, noProcess);
    EXPECT_EQ(read.unreadable, std::nullopt);
    EXPECT_EQ(read.urls, std::vector<std::string>{"https://teams.live.com/"});

    auto store = home / ".mozilla/firefox/x1y2.default-esr/sessionstore-backups/recovery.jsonlz4";
    writeFileAtomically(
        store,
        mozLz4(
            R"({"windows":[{"tabs":[{"entries":[{"url":"https://meet.google.com/abc-defg-hij"}],"index":1}]}]})"));
    EXPECT_EQ(BrowserSessionFiles(home.path()).read(firefox, noProcess).urls,
              std::vector<std::string>{"https://meet.google.com/abc-defg-hij"});
    writeFileAtomically(store, "mozLz40\0garbage");
    EXPECT_TRUE(BrowserSessionFiles(home.path()).read(firefox, noProcess).unreadable);

    // A profile we may not enter (root may enter anything, so only a user sees this).
    if (::geteuid() != 0) {
        std::filesystem::permissions(home / ".config/chromium", std::filesystem::perms::none);
        std::filesystem::remove_all(home / "snap");
        auto denied = BrowserSessionFiles(home.path()).read(chromium, noProcess);
        std::filesystem::permissions(home / ".config/chromium", std::filesystem::perms::owner_all);
        ASSERT_TRUE(denied.unreadable);
        EXPECT_NE(denied.unreadable->find("cannot be read"), std::string::npos)
            << *denied.unreadable;
    }
}

// Session files are read on a queue of their own: a pass never waits for one, only one read
// per browser runs at a time, the cache counts from when a read ended, and a read that takes
// too long makes the browser unreadable until it lands.
TEST(WebDetectionReads, SessionFilesAreReadOffTheMainThread) {
    TempDir dir;
    UserDefaults defaults{dir / "preferences.plist"};
    SettingsStores stores{defaults, dir / ".settings.plist"};
    SettingsManager::registerDefaults(stores, "Ada");
    ManualClock clock;
    ManualExecutor main{clock};
    ManualExecutor reader{clock};
    auto list = std::make_shared<FakeProcessList>();
    auto info = std::make_shared<FakeProcessInfo>();
    info->addSystemFile(chromeExe);
    info->packages[chromeExe] = {"google-chrome-stable"};
    info->run(900, chromeExe);
    info->run(901, chromeExe, 900);
    auto tabs = std::make_shared<FakeTabs>();
    tabs->answers["Google Chrome"] = {{"https://teams.live.com/"}, std::nullopt};
    Log::Capture log;
    auto detection = std::make_unique<NativeMeetingDetection>(
        main, clock, list, info, AppGenuineness::vendors(),
        SessionSettings::detectionChoices(stores), &main, tabs, &reader);
    detection->start();

    list->set({recording(901, "chrome")});
    main.advance(3);
    EXPECT_TRUE(tabs->reads.empty()) << "the main thread read the session file";
    EXPECT_EQ(reader.pendingCount(), 1u) << "one read at a time";
    EXPECT_TRUE(detection->meetings.get().empty());

    reader.runUntilIdle();
    EXPECT_EQ(tabs->reads, std::vector<std::string>{"Google Chrome 900"});
    main.advance(2);
    ASSERT_EQ(detection->meetings.get().size(), 1u) << "the landed read is used at once";

    // The read landed at 3 s: the next is due 10 s after that, not after it began.
    main.advance(7.5);
    EXPECT_EQ(reader.pendingCount(), 0u);
    main.advance(1);
    EXPECT_EQ(reader.pendingCount(), 1u);

    // This one hangs: after the limit the browser is unreadable, and no read piles up.
    main.advance(WebMeetingDetection::readLimitSeconds + 1);
    EXPECT_EQ(detection->automationDenied.get(), std::set<std::string>{"Google Chrome"});
    EXPECT_TRUE(log.contains(
        "Tab URL read failed for Google Chrome: its session files take longer than 5 s to read"));
    EXPECT_EQ(reader.pendingCount(), 1u);
    reader.runUntilIdle();
    main.advance(0.5);
    EXPECT_TRUE(detection->automationDenied.get().empty()) << "a read that lands clears it";

    // A read that lands after the recording stopped is dropped; the detection may go first.
    main.advance(WebMeetingDetection::cacheSeconds);
    EXPECT_EQ(reader.pendingCount(), 1u);
    list->set({});
    main.advance(1);
    tabs->answers["Google Chrome"] = {{}, "the session file is encrypted"};
    reader.runUntilIdle();
    main.advance(1);
    EXPECT_TRUE(detection->automationDenied.get().empty());
    list->set({recording(901, "chrome")});
    main.advance(1);
    detection.reset();
    reader.runUntilIdle();
    main.advance(1);
}

// The package database is asked on a queue of its own and may take seconds. Until it answers,
// a genuine browser is neither taken for a meeting nor logged as a fake one.
TEST_F(WebDetection, ABrowserWhoseGenuinenessIsStillAskedIsNeitherTakenNorCalledFake) {
    ManualExecutor packages{clock};
    detection = std::make_unique<NativeMeetingDetection>(
        main, clock, list, info, AppGenuineness::vendors(),
        SessionSettings::detectionChoices(stores), &packages, tabs, &main);
    detection->start();
    showTabs("Google Chrome", {"https://teams.live.com/"});
    list->set({recording(901, "chrome"), playing(901, "chrome")});
    EXPECT_TRUE(ids().empty());
    EXPECT_TRUE(tabs->reads.empty()) << "no tabs are read before the answer";

    packages.runUntilIdle();
    EXPECT_EQ(ids(), std::vector<std::string>{"Teams-900 Google Chrome web"});
    for (const auto& text : log.texts())
        EXPECT_EQ(text.find("not signed by the browser's maker"), std::string::npos) << text;
}

// A browser writes its session file a few seconds after a change, so the first reads of a
// recording may find no file, or no meeting yet. Those are read again every 2 s for the first
// 20 s, said once as a wait and not as a failure; a meeting's tab, or the end of that time,
// brings back the 10 s rhythm.
TEST_F(WebDetection, EarlyReadsThatFindNoMeetingYetAreRepeatedSoonAndNotCalledFailures) {
    tabs->answers["Google Chrome"] = {{}, "no session file was found in its profile folders", true};
    list->set({recording(901, "chrome"), playing(901, "chrome")});
    main.advance(1);
    ASSERT_EQ(tabs->reads.size(), 1u);
    main.advance(2.1);
    EXPECT_EQ(tabs->reads.size(), 2u) << "read again after 2 s, not 10";
    EXPECT_TRUE(detection->automationDenied.get().empty()) << "a wait is no failure";
    auto texts = log.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(),
                         "Tabs of Google Chrome not written yet: no session file was found in "
                         "its profile folders"),
              1);
    for (const auto& text : texts)
        EXPECT_EQ(text.find("Tab URL read failed"), std::string::npos) << text;

    showTabs("Google Chrome", {"https://teams.live.com/"});
    main.advance(2.1);
    const auto afterMeeting = tabs->reads.size();
    EXPECT_EQ(ids(), std::vector<std::string>{"Teams-900 Google Chrome web"});
    main.advance(6);
    EXPECT_EQ(tabs->reads.size(), afterMeeting) << "a meeting seen: every 10 s again";

    // Past the first 20 s of a recording, tabs without a meeting wait the full 10 s.
    list->set({});
    main.advance(1);
    showTabs("Google Chrome", {"https://news.example/"});
    list->set({recording(901, "chrome"), playing(901, "chrome")});
    main.advance(21);
    const auto late = tabs->reads.size();
    main.advance(4);
    EXPECT_EQ(tabs->reads.size(), late);
}

#include "settings/UserDefaults.h"

#include "base/AtomicFile.h"
#include "base/Log.h"
#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace tallyvox;
using tallyvox::testing::ScopedEnv;
using tallyvox::testing::TempDir;
namespace fs = std::filesystem;

TEST(UserDefaults, StoredValueThenRegisteredDefaultThenNothing) {
    TempDir dir;
    UserDefaults defaults(dir / "preferences.plist");
    EXPECT_FALSE(defaults.object("language"));
    EXPECT_FALSE(defaults.boolValue("autoDetect"));
    EXPECT_EQ(defaults.stringValue("language"), "");
    EXPECT_EQ(defaults.doubleValue("chunkSeconds"), 0);

    defaults.registerDefaults({{"language", "en+hi"}, {"autoDetect", true}});
    EXPECT_EQ(defaults.stringValue("language"), "en+hi");
    EXPECT_TRUE(defaults.boolValue("autoDetect"));

    defaults.set("language", "de");
    EXPECT_EQ(defaults.stringValue("language"), "de");
    defaults.remove("language");
    EXPECT_EQ(defaults.stringValue("language"), "en+hi");
    EXPECT_FALSE(fs::exists(dir / "elsewhere.plist"));
}

TEST(UserDefaults, TypedGettersConvertTheUsualWay) {
    TempDir dir;
    UserDefaults defaults(dir / "preferences.plist");
    defaults.set("int", 20);
    defaults.set("real", 27.9);
    defaults.set("text", " 12.5 ");
    defaults.set("yes", "YES");
    EXPECT_EQ(defaults.doubleValue("int"), 20.0);
    EXPECT_EQ(defaults.integerValue("real"), 27);
    EXPECT_TRUE(defaults.boolValue("int"));
    EXPECT_EQ(defaults.doubleValue("text"), 12.5);
    EXPECT_EQ(defaults.integerValue("text"), 12);
    EXPECT_TRUE(defaults.boolValue("yes"));
    EXPECT_EQ(defaults.stringValue("int"), "20");
    EXPECT_FALSE(defaults.boolValue("text2"));
}

TEST(UserDefaults, ValuesPersistInTheFile) {
    TempDir dir;
    auto file = dir / "config/tallyvox/preferences.plist";
    {
        UserDefaults defaults(file);
        defaults.set("myName", "Ada Lovelace");
        defaults.set("chunkSeconds", 20.0);
    }
    UserDefaults again(file);
    EXPECT_EQ(again.stringValue("myName"), "Ada Lovelace");
    EXPECT_EQ(again.object("chunkSeconds"), PlistValue(20.0));
}

TEST(UserDefaults, StandardFileFollowsXdgConfigHome) {
    TempDir dir;
    ScopedEnv config("XDG_CONFIG_HOME", dir.path().string());
    EXPECT_EQ(UserDefaults::standardFile(), dir / "tallyvox/preferences.plist");
}

TEST(UserDefaults, BrokenFileReadsEmptyAndIsRepairedByTheNextWrite) {
    std::string valid = PlistValue(PlistValue::Dictionary{{"a", 1}, {"b", 2}}).toXml();
    for (std::string broken : {std::string("not a plist"), valid.substr(0, valid.size() / 2),
                               PlistValue(PlistValue::Array{1, 2}).toXml()}) {
        TempDir dir;
        auto file = dir / "preferences.plist";
        writeFileAtomically(file, broken);
        UserDefaults defaults(file);
        EXPECT_FALSE(defaults.object("a"));
        defaults.set("c", 3);

        auto root = PlistValue::fromXml(*readWholeFile(file));
        ASSERT_TRUE(root);
        EXPECT_EQ(*root, PlistValue(PlistValue::Dictionary{{"c", 3}}));
    }
}

TEST(UserDefaults, UnwritableFileIsLoggedAndKeepsThePreviousOne) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root ignores folder permissions";
    TempDir dir;
    auto file = dir / "locked/preferences.plist";
    UserDefaults defaults(file);
    defaults.set("a", 1);
    std::string before = *readWholeFile(file);
    fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);

    Log::Capture log;
    defaults.set("a", 2);
    EXPECT_EQ(readWholeFile(file), before);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, spdlog::level::err);
}

TEST(UserDefaults, WriteFailureIsLoggedEvenForRoot) {
    TempDir dir;
    writeFileAtomically(dir / "blocker", "a file where a folder should be");
    UserDefaults defaults(dir / "blocker/preferences.plist");
    Log::Capture log;
    defaults.set("a", 1);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, spdlog::level::err);
    EXPECT_EQ(log.lines()[0].text.rfind("Preferences not saved: ", 0), 0u);
    EXPECT_EQ(defaults.integerValue("a"), 1) << "this run keeps what the user chose";
}

TEST(UserDefaults, ObserversHearRealChangesOnly) {
    TempDir dir;
    UserDefaults defaults(dir / "preferences.plist");
    std::vector<std::string> heard;
    auto subscription = defaults.observe([&](const std::string& key) { heard.push_back(key); });
    defaults.set("a", 1);
    defaults.set("a", 1);
    defaults.remove("a");
    defaults.remove("a");
    EXPECT_EQ(heard, (std::vector<std::string>{"a", "a"}));

    subscription.reset();
    defaults.set("b", true);
    EXPECT_EQ(heard.size(), 2u);
}

TEST(UserDefaults, AnotherProcessChangeIsNoticedOnTheNextRead) {
    TempDir dir;
    auto file = dir / "preferences.plist";
    UserDefaults ours(file);
    ours.set("same", "kept");
    ours.set("gone", 1);
    ours.set("changed", 1);
    std::vector<std::string> heard;
    auto subscription = ours.observe([&](const std::string& key) { heard.push_back(key); });

    // Another process rewrites the file behind this one's back.
    writeFileAtomically(
        file, PlistValue(PlistValue::Dictionary{{"same", "kept"}, {"changed", 2}, {"new", true}})
                  .toXml());
    EXPECT_EQ(ours.integerValue("changed"), 2);
    EXPECT_FALSE(ours.object("gone"));
    std::sort(heard.begin(), heard.end());
    EXPECT_EQ(heard, (std::vector<std::string>{"changed", "gone", "new"}));

    // Writing keeps the other process's keys.
    ours.set("mine", 1);
    UserDefaults fresh(file);
    EXPECT_TRUE(fresh.boolValue("new"));
    EXPECT_EQ(fresh.integerValue("mine"), 1);
}

TEST(UserDefaults, ConcurrentReadersAndWritersAgree) {
    TempDir dir;
    UserDefaults defaults(dir / "preferences.plist");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&defaults, t] {
            for (int i = 0; i < 25; ++i) {
                defaults.set("key" + std::to_string(t), i);
                (void)defaults.integerValue("key" + std::to_string((t + 1) % 4));
            }
        });
    for (auto& thread : threads)
        thread.join();
    UserDefaults fresh(dir / "preferences.plist");
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(fresh.integerValue("key" + std::to_string(t)), 24);
}

// A preferences file that is no property list of ours means the defaults, says why once, and
// never costs more than the size limit in time or memory.
TEST(UserDefaults, FilesThatAreNotPreferencesReadAsDefaultsAndSayWhy) {
    TempDir dir;
    auto file = dir / "preferences.plist";
    UserDefaults defaults(file);
    defaults.registerDefaults({{"autoDetect", true}});
    Log::Capture log;
    auto started = std::chrono::steady_clock::now();

    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    EXPECT_TRUE(defaults.boolValue("autoDetect"));
    EXPECT_TRUE(defaults.boolValue("autoDetect"));
    EXPECT_EQ(log.texts(), std::vector<std::string>{"The preferences file " + file.string() +
                                                    " is not a regular file; using the defaults"});
    std::filesystem::remove(file);

    std::filesystem::create_symlink("/dev/zero", file);
    EXPECT_TRUE(defaults.boolValue("autoDetect"));
    std::filesystem::remove(file);

    // Sparse, and past the limit of a property list though within that of other files.
    {
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, std::int64_t{20} << 20), 0);
        ::close(fd);
    }
    log.clear();
    EXPECT_TRUE(defaults.boolValue("autoDetect"));
    EXPECT_TRUE(log.contains("The preferences file " + file.string() +
                             " is larger than 16 MB; using the defaults"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

// Another tool may save the preferences as a binary property list; a file that cannot be read
// at all is the user's too, and the next change sets it aside rather than writing over it.
TEST(UserDefaults, BinaryFilesAreReadAndUnreadableOnesAreKeptBesideTheNewOne) {
    TempDir dir;
    auto file = dir / "preferences.plist";
    // {"chunkSeconds": 12.5, "diarize": false}, as plutil writes it.
    const char binary[] = "bplist00\xd2\x01\x02\x03\x04\\chunkSecondsWdiarize#@)\x00\x00\x00\x00"
                          "\x00\x00\x08\x08\x0d\x1a\x22\x2b\x00\x00\x00\x00\x00\x00\x01\x01\x00"
                          "\x00\x00\x00\x00\x00\x00\x05\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
                          "\x00\x00\x00\x00\x00\x2c";
    writeFileAtomically(file, std::string(binary, sizeof binary - 1));
    UserDefaults defaults(file);
    EXPECT_EQ(defaults.doubleValue("chunkSeconds"), 12.5);
    EXPECT_FALSE(defaults.boolValue("diarize"));
    EXPECT_TRUE(defaults.object("diarize"));
    defaults.set("language", "de");
    auto root = PlistValue::fromXml(*readWholeFile(file));
    ASSERT_TRUE(root);
    EXPECT_EQ(*root, PlistValue(PlistValue::Dictionary{
                         {"chunkSeconds", 12.5}, {"diarize", false}, {"language", "de"}}))
        << "written back as XML with every key";
    EXPECT_FALSE(fs::exists(dir / "preferences.plist.unreadable"));

    const std::string damaged = "bplist00 from a newer version";
    for (const char* kept : {"preferences.plist.unreadable", "preferences.plist.unreadable-2"}) {
        writeFileAtomically(file, damaged);
        Log::Capture log;
        EXPECT_FALSE(defaults.object("language"));
        defaults.set("myName", "Ada");
        EXPECT_EQ(readWholeFile(dir / kept), damaged) << kept;
        EXPECT_TRUE(log.contains("The preferences file " + file.string() +
                                 " could not be read; it is kept as " + (dir / kept).string() +
                                 ", and a new one holds the settings changed from now on"))
            << kept;
        EXPECT_EQ(PlistValue::fromXml(*readWholeFile(file)),
                  PlistValue(PlistValue::Dictionary{{"myName", "Ada"}}));
    }
    EXPECT_EQ(readWholeFile(dir / "preferences.plist.unreadable"), damaged)
        << "an earlier copy is never replaced";
}

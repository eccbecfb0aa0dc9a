#include "settings/ProtectedSettings.h"

#include "base/AtomicFile.h"
#include "base/Log.h"
#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace tallyvox;
using tallyvox::testing::ScopedEnv;
using tallyvox::testing::TempDir;
namespace fs = std::filesystem;

namespace {
SystemTime at(std::int64_t unixSeconds) {
    return SystemTime(std::chrono::seconds(unixSeconds));
}

PlistValue::Dictionary fileContent(const fs::path& file) {
    auto dict = ProtectedSettings::load(file);
    EXPECT_TRUE(dict) << file;
    return dict.value_or(PlistValue::Dictionary{});
}

const PlistValue allMoved =
    PlistValue::Array{"standingConsentAt", "saveLocation", "includeMic", "followMute"};
} // namespace

TEST(ProtectedSettings, FileSitsInTheDefaultTranscriptFolder) {
    TempDir dir;
    ScopedEnv home("HOME", dir.path().string());
    ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(ProtectedSettings::url(), dir / "Documents/Tallyvox/.settings.plist");
}

TEST(ProtectedSettings, SetStoresValuesAndNothingRemovesTheKey) {
    TempDir dir;
    auto file = dir / "Tallyvox/.settings.plist";
    ProtectedSettings::set(PlistValue(at(1796558400)), "standingConsentAt", file);
    ProtectedSettings::set(PlistValue(true), "includeMic", file);
    EXPECT_EQ(ProtectedSettings::value("standingConsentAt", file), PlistValue(at(1796558400)));
    EXPECT_NE(readWholeFile(file)->find("<date>"), std::string::npos);

    ProtectedSettings::set(std::nullopt, "standingConsentAt", file);
    EXPECT_EQ(fileContent(file), (PlistValue::Dictionary{{"includeMic", true}}));
    EXPECT_FALSE(ProtectedSettings::value("standingConsentAt", file));
}

TEST(ProtectedSettings, BrokenFileReadsEmptyAndTheNextSetStartsAfresh) {
    std::string valid = PlistValue(PlistValue::Dictionary{{"includeMic", true}}).toXml();
    for (std::string broken : {std::string("\x00\x01junk", 6), valid.substr(0, valid.size() - 20),
                               PlistValue("a text root").toXml()}) {
        TempDir dir;
        auto file = dir / ".settings.plist";
        writeFileAtomically(file, broken);
        EXPECT_FALSE(ProtectedSettings::load(file));
        EXPECT_FALSE(ProtectedSettings::value("includeMic", file));

        ProtectedSettings::set(PlistValue(false), "followMute", file);
        EXPECT_EQ(fileContent(file), (PlistValue::Dictionary{{"followMute", false}}));
    }
}

TEST(ProtectedSettings, UnwritableFileIsLoggedAndKeepsThePreviousOne) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root ignores folder permissions";
    TempDir dir;
    auto file = dir / "locked/.settings.plist";
    ProtectedSettings::set(PlistValue(true), "includeMic", file);
    fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    Log::Capture log;
    ProtectedSettings::set(PlistValue(false), "includeMic", file);
    EXPECT_EQ(ProtectedSettings::value("includeMic", file), PlistValue(true));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].text.rfind("Settings not saved: ", 0), 0u);
}

TEST(ProtectedSettings, WriteFailureIsLoggedAtErrorLevel) {
    TempDir dir;
    writeFileAtomically(dir / "Tallyvox", "a file where the folder should be");
    Log::Capture log;
    ProtectedSettings::set(PlistValue(true), "includeMic", dir / "Tallyvox/.settings.plist");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, spdlog::level::err);
    EXPECT_EQ(log.lines()[0].text.rfind("Settings not saved: ", 0), 0u) << log.lines()[0].text;
}

TEST(ProtectedSettingsMigrate, FirstLaunchMovesTheFourKeys) {
    TempDir dir;
    UserDefaults defaults(dir / "preferences.plist");
    defaults.registerDefaults({{"includeMic", false}, {"followMute", true}});
    defaults.set("includeMic", false);
    defaults.set("autoDetect", true);
    auto file = dir / "Tallyvox/.settings.plist";

    ProtectedSettings::migrate(file, defaults);

    EXPECT_EQ(
        fileContent(file),
        (PlistValue::Dictionary{{"includeMic", false}, {"followMute", true}, {"moved", allMoved}}));
    UserDefaults fresh(dir / "preferences.plist");
    EXPECT_FALSE(fresh.object("includeMic"));
    EXPECT_TRUE(fresh.object("autoDetect")) << "ordinary preferences stay";
}

TEST(ProtectedSettingsMigrate, UserChoicesAreCarriedOver) {
    TempDir dir;
    UserDefaults defaults(dir / "preferences.plist");
    defaults.set("standingConsentAt", at(1796558400));
    defaults.set("saveLocation", "/srv/notes");
    defaults.set("includeMic", true);
    auto file = dir / ".settings.plist";
    ProtectedSettings::migrate(file, defaults);
    auto content = fileContent(file);
    EXPECT_EQ(content["standingConsentAt"], PlistValue(at(1796558400)));
    EXPECT_EQ(content["saveLocation"], PlistValue("/srv/notes"));
    EXPECT_EQ(content["includeMic"], PlistValue(true));
    EXPECT_FALSE(content.count("followMute")) << "nothing registered, nothing stored";
    for (auto key : ProtectedSettings::keys)
        EXPECT_FALSE(defaults.object(key)) << key;
}

TEST(ProtectedSettingsMigrate, FirstReleaseFileMovesOnlyTheLaterKeys) {
    TempDir dir;
    auto file = dir / ".settings.plist";
    writeFileAtomically(
        file, PlistValue(PlistValue::Dictionary{{"standingConsentAt", at(1796558400)}}).toXml());
    UserDefaults defaults(dir / "preferences.plist");
    defaults.registerDefaults({{"followMute", true}});
    defaults.set("includeMic", true);
    defaults.set("saveLocation", "/old/choice");

    ProtectedSettings::migrate(file, defaults);

    EXPECT_EQ(fileContent(file), (PlistValue::Dictionary{{"standingConsentAt", at(1796558400)},
                                                         {"includeMic", true},
                                                         {"followMute", true},
                                                         {"moved", allMoved}}));
    EXPECT_FALSE(defaults.object("includeMic"));
    EXPECT_EQ(defaults.stringValue("saveLocation"), "/old/choice") << "was not pending";
}

TEST(ProtectedSettingsMigrate, NothingPendingWritesNothing) {
    TempDir dir;
    auto file = dir / ".settings.plist";
    std::string before =
        PlistValue(PlistValue::Dictionary{{"followMute", false}, {"moved", allMoved}}).toXml();
    writeFileAtomically(file, before);
    UserDefaults defaults(dir / "preferences.plist");
    defaults.set("followMute", true);

    ProtectedSettings::migrate(file, defaults);
    EXPECT_EQ(readWholeFile(file), before);
    EXPECT_TRUE(defaults.object("followMute"));
}

TEST(ProtectedSettingsMigrate, FailedSaveKeepsThePreferencesForTheNextLaunch) {
    TempDir dir;
    writeFileAtomically(dir / "Tallyvox", "not a folder");
    UserDefaults defaults(dir / "preferences.plist");
    defaults.set("includeMic", true);
    Log::Capture log;

    ProtectedSettings::migrate(dir / "Tallyvox/.settings.plist", defaults);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, spdlog::level::err);
    EXPECT_EQ(log.lines()[0].text.rfind("Settings not moved: ", 0), 0u);
    EXPECT_EQ(defaults.object("includeMic"), PlistValue(true));
}

TEST(ProtectedSettingsMigrate, PreferenceObserversMayWriteProtectedSettings) {
    TempDir dir;
    auto file = dir / ".settings.plist";
    UserDefaults defaults(dir / "preferences.plist");
    defaults.set("includeMic", true);
    auto subscription = defaults.observe([&](const std::string& key) {
        ProtectedSettings::set(PlistValue(true), "seen-" + key, file);
    });
    ProtectedSettings::migrate(file, defaults);
    EXPECT_EQ(ProtectedSettings::value("seen-includeMic", file), PlistValue(true));
    EXPECT_EQ(ProtectedSettings::value("includeMic", file), PlistValue(true));
}

#include "session/PreferenceCommands.h"

#include "base/Error.h"
#include "fakes/TempDir.h"
#include "session/EngineSettings.h"
#include "settings/ProtectedSettings.h"
#include "transcription/PromptText.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>

using namespace tallyvox;
using tallyvox::testing::TempDir;

namespace {
struct Stores {
    TempDir dir;
    UserDefaults defaults{dir / "config/preferences.plist"};
    SettingsStores stores{defaults, dir / "Documents/Tallyvox/.settings.plist"};
    Stores() { SettingsManager::registerDefaults(stores, "Ada Lovelace"); }
};

std::string refusal(const std::function<void()>& attempt) {
    try {
        attempt();
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}
} // namespace

TEST(PreferenceCommands, ListShowsEveryChangeableSettingWithItsDefaultOnce) {
    Stores s;
    auto entries = PreferenceCommands::list(s.stores);
    std::vector<std::string> keys;
    for (auto& e : entries)
        keys.push_back(e.key);
    EXPECT_EQ(keys, (std::vector<std::string>{
                        "autoDetect", "chunkSeconds", "consentReminder", "deleteAfterDays",
                        "detectMeet", "detectTeams", "detectWeb", "detectZoom", "diarize",
                        "followMute", "includeMic", "language", "myName", "saveLocation",
                        "useCalendar", "useGPU", "vocabulary", "whisperModel"}))
        << "internal keys and standing consent are not listed; protected ones once";
    auto chunk = PreferenceCommands::get("chunkSeconds", s.stores);
    EXPECT_EQ(chunk.value, "20");
    EXPECT_EQ(chunk.type, "number");
    EXPECT_TRUE(chunk.isDefault);
    EXPECT_EQ(PreferenceCommands::get("myName", s.stores).value, "Ada Lovelace");
}

TEST(PreferenceCommands, SetStoresTypedValuesWhereTheAppReadsThem) {
    Stores s;
    EXPECT_EQ(PreferenceCommands::set("chunkSeconds", "12.5", s.stores).value, "12.5");
    EXPECT_EQ(SessionSettings::transcriptionOptions(s.stores).chunkSeconds, 12.5);
    PreferenceCommands::set("detectZoom", "off", s.stores);
    EXPECT_FALSE(SettingsManager::detectZoom(s.stores));
    PreferenceCommands::set("deleteAfterDays", "30", s.stores);
    EXPECT_EQ(SettingsManager::deleteAfterDays(s.stores), 30);
    PreferenceCommands::set("whisperModel", "tiny", s.stores);
    EXPECT_EQ(SettingsManager::model(s.stores), WhisperModel::tiny);

    // The protected settings go to the protected file, not the preferences.
    auto mic = PreferenceCommands::set("includeMic", "yes", s.stores);
    EXPECT_EQ(mic.value, "true");
    EXPECT_FALSE(mic.isDefault);
    EXPECT_TRUE(SettingsManager::includeMic(s.stores));
    EXPECT_FALSE(s.defaults.object("includeMic")->boolValue().value_or(true));
    PreferenceCommands::set("saveLocation", "/srv/transcripts", s.stores);
    EXPECT_EQ(SettingsManager::saveRoot(s.stores), "/srv/transcripts");
    PreferenceCommands::set("saveLocation", "", s.stores);
    EXPECT_FALSE(ProtectedSettings::value("saveLocation", s.stores.protectedFile))
        << "an empty folder means the default folder again";
}

TEST(PreferenceCommands, RefusesWhatTheAppWouldMisreadWithAClearReason) {
    Stores s;
    EXPECT_EQ(refusal([&] { PreferenceCommands::set("chunkSeconds", "fast", s.stores); }),
              "chunkSeconds is a number, not \"fast\".");
    EXPECT_EQ(refusal([&] { PreferenceCommands::set("chunkSeconds", "60", s.stores); }),
              "chunkSeconds is between 5 and 28.");
    EXPECT_EQ(refusal([&] { PreferenceCommands::set("diarize", "maybe", s.stores); }),
              "diarize is true or false, not \"maybe\".");
    EXPECT_EQ(refusal([&] { PreferenceCommands::set("deleteAfterDays", "2.5", s.stores); }),
              "deleteAfterDays is a whole number, not \"2.5\".");
    EXPECT_NE(refusal([&] {
                  PreferenceCommands::set("whisperModel", "huge", s.stores);
              }).find("tiny, base, small, medium, large-v3-turbo-q5_0"),
              std::string::npos);
    EXPECT_NE(refusal([&] { PreferenceCommands::set("language", "en+xx", s.stores); }), "");
    EXPECT_EQ(refusal([&] { PreferenceCommands::set("language", "auto", s.stores); }), "");
    EXPECT_NE(refusal([&] { PreferenceCommands::set("saveLocation", "notes", s.stores); }), "");
    EXPECT_EQ(refusal([&] { PreferenceCommands::set("standingConsentAt", "x", s.stores); }),
              "Unknown setting: standingConsentAt. \"tallyvox-cli settings list\" shows them.");
    EXPECT_NE(refusal([&] { PreferenceCommands::get("colour", s.stores); }), "");
    EXPECT_TRUE(PreferenceCommands::get("chunkSeconds", s.stores).isDefault)
        << "a refused value stores nothing";
}

// The vocabulary goes into every recognition; one of 60,000 letters ended the session.
TEST(PreferenceCommands, VocabularyIsCappedInCharactersWhereverItComesFrom) {
    Stores s;
    std::string most;
    for (size_t i = 0; i < PromptText::vocabularyCharacters; ++i)
        most += "é"; // two bytes each: the cap counts characters, not bytes
    EXPECT_EQ(refusal([&] { PreferenceCommands::set("vocabulary", most, s.stores); }), "");
    EXPECT_EQ(SessionSettings::transcriptionOptions(s.stores).vocabulary, most);

    EXPECT_EQ(refusal([&] { PreferenceCommands::set("vocabulary", most + "x", s.stores); }),
              "vocabulary is at most 500 characters; this one has 501.");
    EXPECT_EQ(
        refusal([&] { PreferenceCommands::set("vocabulary", std::string(60000, 'a'), s.stores); }),
        "vocabulary is at most 500 characters; this one has 60000.");
    EXPECT_EQ(PreferenceCommands::get("vocabulary", s.stores).value, most)
        << "a refused vocabulary stores nothing";

    // Stored before there was a limit, or written into the file by hand.
    s.defaults.set("vocabulary", PlistValue(std::string(60000, 'a')));
    EXPECT_EQ(SessionSettings::transcriptionOptions(s.stores).vocabulary,
              std::string(PromptText::vocabularyCharacters, 'a'));
}

// A value written into the file by hand is listed as the app reads it, never as if in force.
TEST(PreferenceCommands, HandEditedValuesShowWhatIsInForceAndSayTheStoredOneIsIgnored) {
    Stores s;
    s.defaults.set("chunkSeconds", std::numeric_limits<double>::quiet_NaN());
    s.defaults.set("deleteAfterDays", -1e308);
    s.defaults.set("diarize", "maybe");
    s.defaults.set("whisperModel", "huge");
    s.defaults.set("myName", 7);
    s.defaults.set("vocabulary", std::string(600, 'a'));
    // Other spellings of a usable value are in force as they are.
    s.defaults.set("detectZoom", 0);
    s.defaults.set("detectTeams", " Yes");
    s.defaults.set("consentReminder", "1");
    ProtectedSettings::set(PlistValue("notes"), "saveLocation", s.stores.protectedFile);
    ProtectedSettings::set(PlistValue("yes"), "includeMic", s.stores.protectedFile);

    std::map<std::string, PreferenceCommands::Entry> listed;
    for (auto& entry : PreferenceCommands::list(s.stores))
        listed.emplace(entry.key, entry);
    auto expect = [&](const std::string& key, const std::string& value, const std::string& note) {
        EXPECT_EQ(listed.at(key).value, value) << key;
        EXPECT_EQ(listed.at(key).note, note) << key;
        EXPECT_EQ(PreferenceCommands::get(key, s.stores).value, value) << key;
    };
    expect("chunkSeconds", "5", "stored value NaN ignored");
    EXPECT_EQ(SessionSettings::transcriptionOptions(s.stores).chunkSeconds, 5);
    expect("deleteAfterDays", "0", "stored value -1e+308 ignored");
    expect("diarize", "false", "stored value \"maybe\" ignored");
    EXPECT_FALSE(SettingsManager::diarize(s.stores));
    expect("whisperModel", std::string(SettingsManager::model(s.stores).rawValue()),
           "stored value \"huge\" ignored");
    expect("myName", "", "stored value 7 ignored");
    expect("vocabulary", std::string(PromptText::vocabularyCharacters, 'a'),
           "stored value of 600 characters read as its first 500");
    expect("detectZoom", "false", "");
    expect("detectTeams", "true", "");
    expect("consentReminder", "true", "");
    expect("saveLocation", "", "stored value \"notes\" ignored");
    EXPECT_TRUE(listed.at("saveLocation").isDefault);
    expect("includeMic", "false", "stored value \"yes\" ignored");
    EXPECT_FALSE(SettingsManager::includeMic(s.stores));

    PreferenceCommands::set("chunkSeconds", "12", s.stores);
    EXPECT_EQ(PreferenceCommands::get("chunkSeconds", s.stores).note, "");
    EXPECT_EQ(PreferenceCommands::get("language", s.stores).note, "") << "nothing stored";
}

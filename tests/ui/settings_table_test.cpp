#include "base/Error.h"
#include "fakes/TempDir.h"
#include "session/PreferenceCommands.h"
#include "settings/ProtectedSettings.h"
#include "settings/SettingsTable.h"
#include "ui/SettingsForm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace tallyvox::testing {
namespace {

std::string refusal(const std::function<void()>& attempt) {
    try {
        attempt();
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}

std::string number(double value) {
    return std::trunc(value) == value ? std::to_string(static_cast<long long>(value))
                                      : std::to_string(value);
}

// Texts the setting's type reads but its rule refuses, worked out from the table so that a
// setting added later is walked too.
std::vector<std::string> outOfRule(const SettingsTable::Setting& setting) {
    std::vector<std::string> bad;
    if (setting.minimum)
        bad.push_back(number(*setting.minimum - 1));
    if (setting.maximum)
        bad.push_back(number(*setting.maximum + 1));
    if (!setting.choices.empty())
        bad.emplace_back("no-such-choice");
    if (setting.maxCharacters > 0)
        bad.push_back(std::string(setting.maxCharacters + 1, 'a'));
    if (setting.key == SettingsManager::Key::language)
        bad.insert(bad.end(), {"", "en+xx", "+"});
    if (setting.key == SettingsManager::Key::saveLocation)
        bad.emplace_back("relative/notes");
    return bad;
}

// Every setting: its default goes back in through both writers and reads the same, and a
// value its rule refuses is refused by the command line and the window in the same words,
// leaving what was stored.
TEST(SettingsTable, EverySettingRoundTripsItsDefaultAndBothWritersRefuseAlike) {
    TempDir dir;
    UserDefaults defaults{dir / "config/preferences.plist"};
    SettingsStores stores{defaults, dir / "Documents/Tallyvox/.settings.plist"};
    SettingsManager::registerDefaults(stores, "Ada Lovelace", WhisperModel::small);

    std::vector<std::string> listed;
    for (const auto& entry : PreferenceCommands::list(stores))
        listed.push_back(entry.key);
    std::vector<std::string> tabled;
    for (const auto& setting : SettingsTable::all())
        tabled.emplace_back(setting.key);
    EXPECT_EQ(listed, tabled) << "the list is the table, in its order";

    for (const auto& setting : SettingsTable::all()) {
        const std::string key(setting.key);
        SCOPED_TRACE(key);
        const auto before = PreferenceCommands::get(key, stores);
        EXPECT_TRUE(before.isDefault);
        EXPECT_EQ(before.type, SettingsTable::typeName(setting.type));
        if (setting.fallback) {
            EXPECT_EQ(SettingsTable::parse(setting, before.value), *setting.fallback);
        }

        EXPECT_EQ(PreferenceCommands::set(key, before.value, stores).value, before.value);
        const auto typed = SettingsTable::parse(setting, before.value);
        EXPECT_EQ(ui::SettingsForm::store(stores, key, typed), std::nullopt);
        EXPECT_EQ(PreferenceCommands::get(key, stores).value, before.value);

        for (const auto& text : outOfRule(setting)) {
            const std::string cli = refusal([&] { PreferenceCommands::set(key, text, stores); });
            EXPECT_NE(cli, "") << text;
            EXPECT_EQ(ui::SettingsForm::store(stores, key, SettingsTable::parse(setting, text)),
                      cli)
                << text;
        }
        // A control handing over the wrong type would be misread on the next launch.
        const PlistValue wrong =
            setting.type == PlistValue::Type::boolean ? PlistValue("yes") : PlistValue(true);
        EXPECT_NE(ui::SettingsForm::store(stores, key, wrong), std::nullopt);
        EXPECT_EQ(PreferenceCommands::get(key, stores).value, before.value)
            << "a refused value stores nothing";
        EXPECT_EQ(PreferenceCommands::get(key, stores).note, "");
    }
    EXPECT_EQ(refusal([&] { SettingsTable::store("learnedWords", PlistValue(true), stores); }),
              "Unknown setting: learnedWords. \"tallyvox-cli settings list\" shows them.")
        << "keys the app keeps for itself are not written through the table";
}

} // namespace
} // namespace tallyvox::testing

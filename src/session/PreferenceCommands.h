#pragma once

#include "settings/SettingsManager.h"
#include "settings/SettingsTable.h"

#include <string>
#include <vector>

namespace tallyvox::PreferenceCommands {

// One setting as a person reads it on the command line.
struct Entry {
    std::string key;
    std::string value; // "true", "20", "en+hi", "" for an empty text
    std::string type;  // "boolean", "integer", "number", "text"
    bool isDefault;    // nothing stored: the registered default applies
    // Set when the stored value is not what the app uses (hand-edited out of range or of
    // another type), saying so: "stored value NaN ignored". `value` is what is in force.
    std::string note = {};
};

// The table's rules with what only the recogniser knows filled in: every writer of a
// setting (this command and the settings window) checks with these.
SettingsTable::Checks checks();

// Every setting that can be changed here: the ordinary preferences with registered
// defaults, plus the microphone, mute-following and transcript-folder settings of the
// protected file. Standing consent has its own command.
std::vector<Entry> list(const SettingsStores& stores);
// Throws Error("Unknown setting: …") for anything else.
Entry get(const std::string& key, const SettingsStores& stores);
// Checks the text against the setting's type and the table's rule before storing it; throws
// Error with a message that says what would be accepted. Answers the stored entry.
Entry set(const std::string& key, const std::string& text, const SettingsStores& stores);

} // namespace tallyvox::PreferenceCommands

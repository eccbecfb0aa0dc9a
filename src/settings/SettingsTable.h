#pragma once

#include "settings/PlistValue.h"
#include "settings/SettingsManager.h"

#include <charconv>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

// Every setting a person may change, in one place: its type, its value when nothing is
// stored, what it accepts and where it is kept. The settings window, the command line, the
// registered defaults and the diagnostics report all read it, so a rule changed here holds
// everywhere at once.
namespace tallyvox::SettingsTable {

enum class Store { preferences, protectedFile };

struct Setting {
    std::string_view key;
    PlistValue::Type type;
    Store store;
    // The value when nothing is stored; nothing for the two worked out at launch (the model,
    // from the machine; the name, from the password database).
    std::optional<PlistValue> fallback;
    // Numbers: the allowed range. Texts: the allowed values, when there is a fixed list.
    std::optional<double> minimum = {};
    std::optional<double> maximum = {};
    std::vector<std::string> choices = {};
    // Texts: the most characters kept (0: any length).
    std::size_t maxCharacters = 0;
};

// Rules that need what only a floor above knows; a rule left empty is not checked.
struct Checks {
    // Whether the recogniser knows a language code ("en").
    std::function<bool(const std::string&)> knowsLanguage;
};

// Most characters of vocabulary: about 150 tokens of ordinary words, which leaves room
// within the recogniser's prompt for the learned words and the last line.
inline constexpr std::size_t vocabularyCharacters = 500;

// Sorted by key.
const std::vector<Setting>& all();
// Nothing for a key that is not a setting a person changes (internal keys among them).
const Setting* find(std::string_view key);
// The fallback of a setting that has one; throws Error for any other key.
const PlistValue& fallback(std::string_view key);

// "boolean", "integer", "number", "text".
std::string typeName(PlistValue::Type type);
// The whole text as a number in the C locale, whatever the user's; nothing when any of it is not.
template <class Number> std::optional<Number> parseNumber(const std::string& text) {
    Number value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// true/yes/on/1 or false/no/off/0, in any case; nothing for anything else.
std::optional<bool> parseBool(const std::string& text);
// The text as the setting's type ("on" is true); throws Error saying what is accepted.
PlistValue parse(const Setting& setting, const std::string& text);
// Throws Error saying what is accepted when the value breaks the setting's rule.
void check(const Setting& setting, const PlistValue& value, const Checks& checks = {});
// Checks the value, then writes it to the setting's store; nothing removes the stored value.
// A write that fails is logged and leaves the previous value.
void store(const Setting& setting, const std::optional<PlistValue>& value,
           const SettingsStores& stores, const Checks& checks = {});
// The same by key; throws Error("Unknown setting: …") for a key not in the table.
void store(std::string_view key, const std::optional<PlistValue>& value,
           const SettingsStores& stores, const Checks& checks = {});

} // namespace tallyvox::SettingsTable

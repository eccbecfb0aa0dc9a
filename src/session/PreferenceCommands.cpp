#include "session/PreferenceCommands.h"

#include "base/Error.h"
#include "session/EngineSettings.h"
#include "settings/ProtectedSettings.h"
#include "settings/SettingsTable.h"
#include "transcription/PromptText.h"
#include "transcription/WhisperContext.h"
#include "types/EngineTypes.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace tallyvox::PreferenceCommands {

namespace Key = SettingsManager::Key;

namespace {

// The recogniser counts the vocabulary it keeps by the same limit the settings enforce.
static_assert(PromptText::vocabularyCharacters == SettingsTable::vocabularyCharacters);

std::string show(const PlistValue& value) {
    switch (value.type()) {
    case PlistValue::Type::boolean:
        return *value.boolValue() ? "true" : "false";
    case PlistValue::Type::integer:
        return std::to_string(*value.integerValue());
    case PlistValue::Type::real: {
        if (std::isnan(*value.realValue()))
            return "NaN";
        char text[64];
        std::snprintf(text, sizeof text, "%g", *value.realValue());
        return text;
    }
    case PlistValue::Type::string:
        return *value.stringValue();
    default:
        return "(unsupported value)";
    }
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    return text;
}

// The stored value as the readers convert it to the setting's type, before any range rule;
// nothing when they cannot ("maybe" for a switch).
std::optional<PlistValue> converted(const PlistValue& stored, PlistValue::Type type) {
    if (stored.type() == type)
        return stored;
    auto number = [&]() -> std::optional<double> {
        if (auto i = stored.integerValue())
            return static_cast<double>(*i);
        if (auto r = stored.realValue())
            return *r;
        if (auto text = stored.stringValue())
            return SettingsTable::parseNumber<double>(std::string(trimmed(*text)));
        return std::nullopt;
    };
    switch (type) {
    case PlistValue::Type::boolean:
        if (auto text = stored.stringValue(); text && !number())
            return SettingsTable::parseBool(std::string(trimmed(*text)));
        if (auto n = number())
            return *n != 0;
        return std::nullopt;
    case PlistValue::Type::integer:
        if (auto n = number();
            n && std::isfinite(*n) && std::trunc(*n) == *n && std::fabs(*n) < 9.2e18)
            return static_cast<std::int64_t>(*n);
        return std::nullopt;
    case PlistValue::Type::real:
        if (auto b = stored.boolValue())
            return *b ? 1.0 : 0.0;
        if (auto n = number())
            return *n;
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

// What the app reads for the setting, after its own corrections.
PlistValue inForce(const std::string& key, PlistValue::Type type, const SettingsStores& stores) {
    UserDefaults& defaults = stores.defaults;
    if (key == Key::model)
        return SettingsManager::model(stores).rawValue();
    if (key == Key::language) {
        auto language = defaults.object(Key::language);
        return SessionSettings::checkedLanguage(language ? language->stringValue() : std::nullopt);
    }
    if (key == Key::chunkSeconds)
        return EngineOptions::clampedChunk(defaults.doubleValue(Key::chunkSeconds));
    if (key == Key::vocabulary)
        return PromptText::firstCharacters(defaults.stringValue(Key::vocabulary),
                                           PromptText::vocabularyCharacters);
    if (key == Key::deleteAfterDays)
        return SettingsManager::deleteAfterDays(stores);
    if (key == Key::myName)
        return SettingsManager::myName(stores);
    switch (type) {
    case PlistValue::Type::boolean:
        return defaults.boolValue(key);
    case PlistValue::Type::integer:
        return defaults.integerValue(key);
    case PlistValue::Type::real:
        return defaults.doubleValue(key);
    default:
        return defaults.object(key).value_or("").stringValue().value_or("");
    }
}

// Says that a stored value is not the one in force; "" when it is (in its own spelling,
// such as 1 for true).
std::string ignoredNote(const PlistValue& stored, PlistValue::Type type, const PlistValue& used) {
    auto usable = converted(stored, type);
    if (usable && show(*usable) == show(used))
        return "";
    auto text = stored.stringValue();
    if (text && usable && !show(used).empty() &&
        PromptText::characters(*text) > PromptText::characters(show(used)) &&
        text->starts_with(show(used)))
        return "stored value of " + std::to_string(PromptText::characters(*text)) +
               " characters read as its first " +
               std::to_string(PromptText::characters(show(used)));
    switch (stored.type()) {
    case PlistValue::Type::string: {
        constexpr std::size_t shown = 40;
        std::string quoted = PromptText::firstCharacters(*text, shown);
        if (PromptText::characters(*text) > shown)
            quoted += "…";
        return "stored value \"" + quoted + "\" ignored";
    }
    case PlistValue::Type::date:
        return "stored date ignored";
    case PlistValue::Type::array:
        return "stored list ignored";
    case PlistValue::Type::dictionary:
        return "stored dictionary ignored";
    default:
        return "stored value " + show(stored) + " ignored";
    }
}

const SettingsTable::Setting& settingFor(const std::string& key) {
    const auto* setting = SettingsTable::find(key);
    if (!setting)
        throw Error("Unknown setting: " + key + ". \"tallyvox-cli settings list\" shows them.");
    return *setting;
}

Entry entryFor(const std::string& key, const SettingsStores& stores) {
    const auto& setting = settingFor(key);
    const std::string type = SettingsTable::typeName(setting.type);
    if (setting.store == SettingsTable::Store::protectedFile) {
        auto stored = ProtectedSettings::value(key, stores.protectedFile);
        bool usable = stored && stored->type() == setting.type;
        // A relative folder is not used: transcripts go to the default folder.
        if (usable && key == Key::saveLocation)
            usable = stored->stringValue().value_or("").starts_with('/');
        PlistValue used = usable ? *stored : *setting.fallback;
        Entry entry{key, show(used), type, !usable};
        if (stored)
            entry.note = ignoredNote(*stored, setting.type, used);
        return entry;
    }
    // The registered default, which for the model and the name is worked out at launch.
    auto registered = stores.defaults.registeredDefaults();
    auto it = registered.find(key);
    const PlistValue fallback = it != registered.end() ? it->second : setting.fallback.value_or("");
    auto stored = stores.defaults.object(key);
    const PlistValue used = inForce(key, setting.type, stores);
    Entry entry{key, show(used), type, stored.value_or(fallback) == fallback};
    if (stored && !(*stored == fallback))
        entry.note = ignoredNote(*stored, setting.type, used);
    return entry;
}

} // namespace

SettingsTable::Checks checks() {
    return {.knowsLanguage = whisperKnowsLanguage};
}

std::vector<Entry> list(const SettingsStores& stores) {
    std::vector<Entry> entries;
    entries.reserve(SettingsTable::all().size());
    for (const auto& setting : SettingsTable::all())
        entries.push_back(entryFor(std::string(setting.key), stores));
    return entries;
}

Entry get(const std::string& key, const SettingsStores& stores) {
    return entryFor(key, stores);
}

Entry set(const std::string& key, const std::string& text, const SettingsStores& stores) {
    const auto& setting = settingFor(key);
    PlistValue value = SettingsTable::parse(setting, text);
    SettingsTable::store(setting, value, stores, checks());
    auto stored = entryFor(key, stores);
    const bool clear = setting.type == PlistValue::Type::string && text.empty();
    if (setting.store == SettingsTable::Store::protectedFile && stored.value != show(value) &&
        !clear)
        throw Error("The setting could not be saved; see the log for the reason.");
    return stored;
}

} // namespace tallyvox::PreferenceCommands

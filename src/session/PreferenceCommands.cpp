#include "session/PreferenceCommands.h"

#include "base/Error.h"
#include "session/EngineSettings.h"
#include "settings/ProtectedSettings.h"
#include "transcription/PromptText.h"
#include "types/EngineTypes.h"
#include "types/WhisperModel.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace tallyvox::PreferenceCommands {

namespace Key = SettingsManager::Key;

namespace {

// Settings kept in the protected file, with their reading when nothing is stored.
struct ProtectedSetting {
    std::string_view key;
    PlistValue::Type type;
    PlistValue fallback;
};

const std::vector<ProtectedSetting>& protectedSettings() {
    static const std::vector<ProtectedSetting> settings{
        {Key::includeMic, PlistValue::Type::boolean, false},
        {Key::followMute, PlistValue::Type::boolean, true},
        {Key::saveLocation, PlistValue::Type::string, ""},
    };
    return settings;
}

// Keys the app keeps for itself.
bool isInternal(std::string_view key) {
    return key == Key::accuracyDefaultsApplied || key == Key::standingConsentAt ||
           key == Key::learnedWords || key == Key::fixCounts;
}

const ProtectedSetting* protectedSetting(std::string_view key) {
    for (const auto& setting : protectedSettings())
        if (setting.key == key)
            return &setting;
    return nullptr;
}

std::string typeName(PlistValue::Type type) {
    switch (type) {
    case PlistValue::Type::boolean:
        return "boolean";
    case PlistValue::Type::integer:
        return "integer";
    case PlistValue::Type::real:
        return "number";
    default:
        return "text";
    }
}

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

std::optional<bool> parseBool(const std::string& text) {
    static const std::vector<std::string> yes{"true", "yes", "on", "1"};
    static const std::vector<std::string> no{"false", "no", "off", "0"};
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (std::find(yes.begin(), yes.end(), lower) != yes.end())
        return true;
    if (std::find(no.begin(), no.end(), lower) != no.end())
        return false;
    return std::nullopt;
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

template <class Number> std::optional<Number> parseNumber(const std::string& text) {
    Number value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// Converts the text to the type of the registered value, refusing what does not fit.
PlistValue parse(const std::string& key, PlistValue::Type type, const std::string& text) {
    switch (type) {
    case PlistValue::Type::boolean:
        if (auto b = parseBool(text))
            return *b;
        throw Error(key + " is true or false, not \"" + text + "\".");
    case PlistValue::Type::integer:
        if (auto n = parseNumber<std::int64_t>(text))
            return *n;
        throw Error(key + " is a whole number, not \"" + text + "\".");
    case PlistValue::Type::real:
        if (auto d = parseNumber<double>(text); d && std::isfinite(*d))
            return *d;
        throw Error(key + " is a number, not \"" + text + "\".");
    default:
        return text;
    }
}

std::string modelNames() {
    std::string names;
    for (auto model : WhisperModel::all())
        names += (names.empty() ? "" : ", ") + std::string(model.rawValue());
    return names;
}

// Rules beyond the type, so a value that would only be corrected on reading is refused.
void check(const std::string& key, const PlistValue& value) {
    if (key == Key::model && !WhisperModel::fromRaw(value.stringValue().value_or("")))
        throw Error("whisperModel is one of " + modelNames() +
                    ", or a quantised copy made with tallyvox-cli models quantize (small-q5_1).");
    if (key == Key::language) {
        std::string language = value.stringValue().value_or("");
        if (SessionSettings::checkedLanguage(language) != language)
            throw Error("language is \"auto\" or language codes joined by \"+\" (such as "
                        "en+hi), not \"" +
                        language + "\".");
    }
    if (key == Key::chunkSeconds) {
        EngineOptions options;
        options.chunkSeconds = *value.realValue();
        options.validate();
    }
    if (key == Key::vocabulary) {
        const std::size_t length = PromptText::characters(value.stringValue().value_or(""));
        if (length > PromptText::vocabularyCharacters)
            throw Error("vocabulary is at most " +
                        std::to_string(PromptText::vocabularyCharacters) +
                        " characters; this one has " + std::to_string(length) + ".");
    }
    if (key == Key::deleteAfterDays && *value.integerValue() < 0)
        throw Error("deleteAfterDays is 0 (keep transcripts) or a number of days.");
    if (key == Key::saveLocation) {
        std::string folder = value.stringValue().value_or("");
        if (folder.rfind('/', 0) != 0 && !folder.empty())
            throw Error("saveLocation is an absolute folder path, or empty for the default.");
    }
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
            return parseNumber<double>(std::string(trimmed(*text)));
        return std::nullopt;
    };
    switch (type) {
    case PlistValue::Type::boolean:
        if (auto text = stored.stringValue(); text && !number())
            return parseBool(std::string(trimmed(*text)));
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

Entry entryFor(const std::string& key, const SettingsStores& stores) {
    if (const auto* setting = protectedSetting(key)) {
        auto stored = ProtectedSettings::value(key, stores.protectedFile);
        bool usable = stored && stored->type() == setting->type;
        // A relative folder is not used: transcripts go to the default folder.
        if (usable && key == Key::saveLocation)
            usable = stored->stringValue().value_or("").starts_with('/');
        PlistValue used = usable ? *stored : setting->fallback;
        Entry entry{key, show(used), typeName(setting->type), !usable};
        if (stored)
            entry.note = ignoredNote(*stored, setting->type, used);
        return entry;
    }
    auto registered = stores.defaults.registeredDefaults();
    auto it = registered.find(key);
    if (it == registered.end() || isInternal(key))
        throw Error("Unknown setting: " + key + ". \"tallyvox-cli settings list\" shows them.");
    auto stored = stores.defaults.object(key);
    const PlistValue used = inForce(key, it->second.type(), stores);
    Entry entry{key, show(used), typeName(it->second.type()),
                stored.value_or(it->second) == it->second};
    if (stored && !(*stored == it->second))
        entry.note = ignoredNote(*stored, it->second.type(), used);
    return entry;
}

} // namespace

std::vector<Entry> list(const SettingsStores& stores) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : stores.defaults.registeredDefaults())
        if (!isInternal(key) && !protectedSetting(key))
            keys.push_back(key);
    for (const auto& setting : protectedSettings())
        keys.emplace_back(setting.key);
    std::sort(keys.begin(), keys.end());
    std::vector<Entry> entries;
    entries.reserve(keys.size());
    for (const auto& key : keys)
        entries.push_back(entryFor(key, stores));
    return entries;
}

Entry get(const std::string& key, const SettingsStores& stores) {
    return entryFor(key, stores);
}

Entry set(const std::string& key, const std::string& text, const SettingsStores& stores) {
    if (const auto* setting = protectedSetting(key)) {
        PlistValue value = parse(key, setting->type, text);
        check(key, value);
        bool clear = setting->type == PlistValue::Type::string && text.empty();
        ProtectedSettings::set(clear ? std::nullopt : std::optional(value), key,
                               stores.protectedFile);
        auto stored = entryFor(key, stores);
        if (stored.value != show(value) && !clear)
            throw Error("The setting could not be saved; see the log for the reason.");
        return stored;
    }
    auto registered = stores.defaults.registeredDefaults();
    auto it = registered.find(key);
    if (it == registered.end() || isInternal(key))
        throw Error("Unknown setting: " + key + ". \"tallyvox-cli settings list\" shows them.");
    PlistValue value = parse(key, it->second.type(), text);
    check(key, value);
    stores.defaults.set(key, value);
    return entryFor(key, stores);
}

} // namespace tallyvox::PreferenceCommands

#include "settings/SettingsTable.h"

#include "base/Error.h"
#include "base/Utf8.h"
#include "settings/ProtectedSettings.h"
#include "types/EngineTypes.h"
#include "types/WhisperModel.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace tallyvox::SettingsTable {

namespace Key = SettingsManager::Key;
using Type = PlistValue::Type;

namespace {

std::vector<std::string> modelNames() {
    std::vector<std::string> names;
    for (auto model : WhisperModel::all())
        names.emplace_back(model.rawValue());
    return names;
}

std::vector<Setting> makeTable() {
    using enum Store;
    std::vector<Setting> table{
        {Key::autoDetect, Type::boolean, preferences, true},
        {Key::chunkSeconds, Type::real, preferences, EngineOptions::defaultChunkSeconds,
         EngineOptions::minChunkSeconds, EngineOptions::maxChunkSeconds},
        {Key::consentReminder, Type::boolean, preferences, true},
        // 0 keeps transcripts; there is no upper bound on days.
        {Key::deleteAfterDays, Type::integer, preferences, 0, 0.0},
        {Key::detectMeet, Type::boolean, preferences, true},
        {Key::detectTeams, Type::boolean, preferences, true},
        {Key::detectWeb, Type::boolean, preferences, true},
        {Key::detectZoom, Type::boolean, preferences, true},
        {Key::diarize, Type::boolean, preferences, true},
        {Key::followMute, Type::boolean, protectedFile, true},
        {Key::includeMic, Type::boolean, protectedFile, false},
        {Key::language, Type::string, preferences, SettingsManager::defaultLanguage},
        {Key::myName, Type::string, preferences, std::nullopt},
        {Key::saveLocation, Type::string, protectedFile, ""},
        {Key::useCalendar, Type::boolean, preferences, false},
        {Key::useGPU, Type::boolean, preferences, true},
        {Key::vocabulary,
         Type::string,
         preferences,
         SettingsManager::sampleVocabulary,
         {},
         {},
         {},
         vocabularyCharacters},
        {Key::model, Type::string, preferences, std::nullopt, {}, {}, modelNames()},
    };
    std::sort(table.begin(), table.end(),
              [](const Setting& a, const Setting& b) { return a.key < b.key; });
    return table;
}

std::string kindOf(Type type) {
    switch (type) {
    case Type::boolean:
        return "true or false";
    case Type::integer:
        return "a whole number";
    case Type::real:
        return "a number";
    default:
        return "a text";
    }
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

// "auto", or codes joined by "+" that the recogniser knows; an empty setting would leave
// it without any language to use.
bool isLanguage(const std::string& language, const Checks& checks) {
    if (language == "auto")
        return true;
    bool anyPiece = false;
    std::size_t start = 0;
    while (start <= language.size()) {
        std::size_t end = std::min(language.find('+', start), language.size());
        std::string piece = language.substr(start, end - start);
        if (!piece.empty()) {
            if (checks.knowsLanguage && !checks.knowsLanguage(piece))
                return false;
            anyPiece = true;
        }
        start = end + 1;
    }
    return anyPiece;
}

} // namespace

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

const std::vector<Setting>& all() {
    static const std::vector<Setting> table = makeTable();
    return table;
}

const Setting* find(std::string_view key) {
    for (const auto& setting : all())
        if (setting.key == key)
            return &setting;
    return nullptr;
}

const PlistValue& fallback(std::string_view key) {
    const Setting* setting = find(key);
    if (!setting || !setting->fallback)
        throw Error("No default for " + std::string(key) + ".");
    return *setting->fallback;
}

std::string typeName(PlistValue::Type type) {
    switch (type) {
    case Type::boolean:
        return "boolean";
    case Type::integer:
        return "integer";
    case Type::real:
        return "number";
    default:
        return "text";
    }
}

PlistValue parse(const Setting& setting, const std::string& text) {
    const std::string key(setting.key);
    switch (setting.type) {
    case Type::boolean:
        if (auto b = parseBool(text))
            return *b;
        throw Error(key + " is " + kindOf(setting.type) + ", not \"" + text + "\".");
    case Type::integer:
        if (auto n = parseNumber<std::int64_t>(text))
            return *n;
        throw Error(key + " is " + kindOf(setting.type) + ", not \"" + text + "\".");
    case Type::real:
        if (auto d = parseNumber<double>(text); d && std::isfinite(*d))
            return *d;
        throw Error(key + " is " + kindOf(setting.type) + ", not \"" + text + "\".");
    default:
        return text;
    }
}

void check(const Setting& setting, const PlistValue& value, const Checks& checks) {
    const std::string key(setting.key);
    // Only a value of the setting's own type is stored: the readers would misread another.
    if (value.type() != setting.type)
        throw Error(key + " is " + kindOf(setting.type) + ".");
    const std::string text = value.stringValue().value_or("");
    if (key == Key::chunkSeconds) {
        // The engine's own check, so the message is the one its options give.
        EngineOptions options;
        options.chunkSeconds = *value.realValue();
        options.validate();
    }
    if (key == Key::deleteAfterDays && *value.integerValue() < *setting.minimum)
        throw Error("deleteAfterDays is 0 (keep transcripts) or a number of days.");
    if (key == Key::model) {
        // Besides the listed models, the quantised copies of them a user can make.
        if (!WhisperModel::fromRaw(text))
            throw Error(key + " is one of " + joined(setting.choices) +
                        ", or a quantised copy made with tallyvox-cli models quantize "
                        "(small-q5_1).");
    } else if (!setting.choices.empty() && std::find(setting.choices.begin(), setting.choices.end(),
                                                     text) == setting.choices.end())
        throw Error(key + " is one of " + joined(setting.choices) + ".");
    if (key == Key::language && !isLanguage(text, checks))
        throw Error("language is \"auto\" or language codes joined by \"+\" (such as en+hi), "
                    "not \"" +
                    text + "\".");
    if (setting.maxCharacters > 0) {
        const std::size_t length = Utf8::pieces(text).size();
        if (length > setting.maxCharacters)
            throw Error(key + " is at most " + std::to_string(setting.maxCharacters) +
                        " characters; this one has " + std::to_string(length) + ".");
    }
    if (key == Key::saveLocation) {
        if (!text.empty() && !text.starts_with('/'))
            throw Error("saveLocation is an absolute folder path, or empty for the default.");
    }
}

void store(const Setting& setting, const std::optional<PlistValue>& value,
           const SettingsStores& stores, const Checks& checks) {
    if (value)
        check(setting, *value, checks);
    if (setting.store == Store::protectedFile) {
        // An empty folder is no choice: transcripts go to the default folder again.
        const bool clear = !value || (value->stringValue() && value->stringValue()->empty());
        ProtectedSettings::set(clear ? std::nullopt : value, setting.key, stores.protectedFile);
    } else if (value) {
        stores.defaults.set(setting.key, *value);
    } else {
        stores.defaults.remove(setting.key);
    }
}

void store(std::string_view key, const std::optional<PlistValue>& value,
           const SettingsStores& stores, const Checks& checks) {
    const Setting* setting = find(key);
    if (!setting)
        throw Error("Unknown setting: " + std::string(key) +
                    ". \"tallyvox-cli settings list\" shows them.");
    store(*setting, value, stores, checks);
}

} // namespace tallyvox::SettingsTable

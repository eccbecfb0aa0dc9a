#include "settings/SettingsManager.h"

#include "base/XdgPaths.h"
#include "settings/ProtectedSettings.h"
#include "settings/SettingsTable.h"
#include "settings/WordMemory.h"
#include "types/ModelSpeed.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <pwd.h>
#include <unistd.h>

namespace tallyvox::SettingsManager {

namespace {

constexpr std::uint64_t eightGiB = 8ull * 1024 * 1024 * 1024;
constexpr double accurateChunk = EngineOptions::defaultChunkSeconds;

std::optional<PlistValue> protectedValue(const SettingsStores& stores, std::string_view key) {
    return ProtectedSettings::value(key, stores.protectedFile);
}

// A stored dictionary of counts; entries that are not integers are left out.
std::map<std::string, int> fixCountsIn(const PlistValue::Dictionary& dict) {
    std::map<std::string, int> counts;
    auto it = dict.find(Key::fixCounts);
    if (it == dict.end() || !it->second.dictionaryValue())
        return counts;
    for (const auto& [word, value] : *it->second.dictionaryValue())
        if (auto count = value.integerValue())
            counts[word] = static_cast<int>(std::clamp<std::int64_t>(*count, 0, 1000000));
    return counts;
}

PlistValue wordsValue(const std::vector<std::string>& words) {
    return PlistValue::Array(words.begin(), words.end());
}

PlistValue countsValue(const std::map<std::string, int>& counts) {
    PlistValue::Dictionary dict;
    for (const auto& [word, count] : counts)
        dict.emplace(word, PlistValue(count));
    return dict;
}

std::vector<std::string> learnedWordsIn(const PlistValue::Dictionary& dict) {
    auto it = dict.find(Key::learnedWords);
    return WordFix::checked(it == dict.end() ? std::nullopt : std::optional(it->second));
}

} // namespace

std::uint64_t physicalMemory() {
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

std::string systemFullName() {
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_gecos)
        return {};
    std::string gecos = found->pw_gecos;
    return gecos.substr(0, gecos.find(','));
}

void registerDefaults(const SettingsStores& stores, const std::string& fullName,
                      WhisperModel recommended) {
    PlistValue::Dictionary defaults{{std::string(Key::myName), fullName}};
    for (const auto& setting : SettingsTable::all())
        // The protected switches are registered too: their first move out of these
        // preferences reads them here.
        if (setting.fallback && (setting.store == SettingsTable::Store::preferences ||
                                 setting.type == PlistValue::Type::boolean))
            defaults.emplace(std::string(setting.key), *setting.fallback);
    stores.defaults.registerDefaults(defaults);
    registerDefaultModel(stores, recommended);
}

void registerDefaultModel(const SettingsStores& stores, WhisperModel recommended,
                          const std::function<bool(WhisperModel)>& downloaded) {
    stores.defaults.registerDefaults(
        {{std::string(Key::model), defaultModel(recommended, downloaded).rawValue()}});
}

void applyAccuracyDefaults(const SettingsStores& stores) {
    UserDefaults& defaults = stores.defaults;
    if (defaults.boolValue(Key::accuracyDefaultsApplied))
        return;
    defaults.set(Key::accuracyDefaultsApplied, true);

    if (auto language = defaults.object(Key::language);
        language && language->stringValue() == "auto")
        defaults.set(Key::language, defaultLanguage);
    if (defaults.doubleValue(Key::chunkSeconds) < accurateChunk)
        defaults.set(Key::chunkSeconds, accurateChunk);
    if (model(stores) == WhisperModel::medium && WhisperModel(WhisperModel::turbo).isDownloaded())
        defaults.set(Key::model, WhisperModel(WhisperModel::turbo).rawValue());
}

WhisperModel recommendedModel(std::uint64_t physicalMemoryBytes,
                              const std::optional<MachineSpeed>& speed, int sources,
                              bool speakers) {
    const WhisperModel ceiling =
        physicalMemoryBytes < eightGiB ? WhisperModel::small : WhisperModel::turbo;
    if (!speed)
        return ceiling;
    return ModelSpeed::mostAccurateKeepingUp(ceiling, *speed, sources, keepUpFactor, speakers);
}

WhisperModel recommendedModel() {
    return recommendedModel(physicalMemory(), MachineSpeed::kept());
}

WhisperModel recommendedModel(const SettingsStores& stores,
                              const std::optional<MachineSpeed>& speed) {
    // Speaker labelling is on unless turned off, also before the defaults are registered.
    auto labels = stores.defaults.object(Key::diarize);
    const bool speakers = labels ? labels->boolValue().value_or(true) : true;
    return recommendedModel(physicalMemory(), speed, includeMic(stores) ? 2 : 1, speakers);
}

WhisperModel defaultModel(WhisperModel recommended,
                          const std::function<bool(WhisperModel)>& downloaded) {
    if (downloaded(recommended))
        return recommended;
    const auto& order = ModelSpeed::byAccuracy();
    const auto at = std::find(order.begin(), order.end(), recommended);
    auto below = std::find_if(at, order.end(), downloaded);
    if (below != order.end())
        return *below;
    auto above = std::find_if(std::make_reverse_iterator(at), order.rend(), downloaded);
    return above != order.rend() ? *above : recommended;
}

void keepModel(WhisperModel model, const SettingsStores& stores) {
    auto stored = stores.defaults.object(Key::model);
    auto registered = stores.defaults.registeredDefaults();
    auto it = registered.find(Key::model);
    // Only the registered default is replaced; a choice of the user's, even one this version
    // does not know, stays.
    if (stored && (it == registered.end() || !(*stored == it->second)))
        return;
    stores.defaults.set(Key::model, std::string(model.rawValue()));
}

WhisperModel model(const SettingsStores& stores) {
    if (auto stored = stores.defaults.object(Key::model))
        if (auto raw = stored->stringValue())
            if (auto known = WhisperModel::fromRaw(*raw))
                return *known;
    return defaultModel(recommendedModel());
}

bool autoDetect(const SettingsStores& stores) {
    return stores.defaults.boolValue(Key::autoDetect);
}
bool detectZoom(const SettingsStores& stores) {
    return stores.defaults.boolValue(Key::detectZoom);
}
bool detectTeams(const SettingsStores& stores) {
    return stores.defaults.boolValue(Key::detectTeams);
}
bool detectWeb(const SettingsStores& stores) {
    return stores.defaults.boolValue(Key::detectWeb);
}
bool detectMeet(const SettingsStores& stores) {
    return stores.defaults.boolValue(Key::detectMeet);
}
bool consentReminder(const SettingsStores& stores) {
    return stores.defaults.boolValue(Key::consentReminder);
}
bool diarize(const SettingsStores& stores) {
    return stores.defaults.boolValue(Key::diarize);
}

bool detects(Platform platform, const SettingsStores& stores) {
    switch (platform) {
    case Platform::zoom:
        return detectZoom(stores);
    case Platform::teams:
        return detectTeams(stores);
    case Platform::meet:
        return detectMeet(stores);
    }
    return false;
}

std::string myName(const SettingsStores& stores) {
    auto stored = stores.defaults.object(Key::myName);
    return stored ? stored->stringValue().value_or("") : "";
}

bool useCalendar(const SettingsStores& stores) {
    return stores.defaults.boolValue(Key::useCalendar);
}

int deleteAfterDays(const SettingsStores& stores) {
    // A negative count would make every transcript look old enough to delete.
    auto days = stores.defaults.integerValue(Key::deleteAfterDays);
    return static_cast<int>(std::clamp<std::int64_t>(days, 0, std::numeric_limits<int>::max()));
}

bool includeMic(const SettingsStores& stores) {
    auto value = protectedValue(stores, Key::includeMic);
    return value ? value->boolValue().value_or(false) : false;
}

bool followMute(const SettingsStores& stores) {
    auto value = protectedValue(stores, Key::followMute);
    return value ? value->boolValue().value_or(true) : true;
}

bool useGPU(const SettingsStores& stores) {
    auto value = stores.defaults.object(Key::useGPU);
    return value ? value->boolValue().value_or(true) : true;
}

std::filesystem::path saveRoot(const SettingsStores& stores) {
    if (auto value = protectedValue(stores, Key::saveLocation))
        if (auto text = value->stringValue(); text && !text->empty()) {
            std::filesystem::path folder(*text);
            if (folder.is_absolute())
                return folder;
        }
    return XdgPaths::transcriptsRoot();
}

std::vector<std::string> learnedWords(const SettingsStores& stores) {
    return WordFix::checked(protectedValue(stores, Key::learnedWords));
}

void noteFix(std::string_view word, const SettingsStores& stores) {
    ProtectedSettings::update(
        [&](PlistValue::Dictionary& dict) {
            WordFix::Memory memory{fixCountsIn(dict), learnedWordsIn(dict)};
            memory.record(word);
            dict.insert_or_assign(std::string(Key::fixCounts), countsValue(memory.counts));
            dict.insert_or_assign(std::string(Key::learnedWords), wordsValue(memory.words));
        },
        stores.protectedFile);
}

void forget(std::string_view word, const SettingsStores& stores) {
    ProtectedSettings::update(
        [&](PlistValue::Dictionary& dict) {
            auto words = learnedWordsIn(dict);
            std::erase(words, std::string(word));
            dict.insert_or_assign(std::string(Key::learnedWords), wordsValue(words));
        },
        stores.protectedFile);
}

bool hasFixMemory(const SettingsStores& stores) {
    auto dict = ProtectedSettings::load(stores.protectedFile).value_or(PlistValue::Dictionary{});
    if (!learnedWordsIn(dict).empty())
        return true;
    auto counts = dict.find(Key::fixCounts);
    return counts != dict.end() && counts->second.dictionaryValue() &&
           !counts->second.dictionaryValue()->empty();
}

void forgetAllWords(const SettingsStores& stores) {
    ProtectedSettings::update(
        [](PlistValue::Dictionary& dict) {
            for (auto key : {Key::learnedWords, Key::fixCounts})
                if (auto it = dict.find(key); it != dict.end())
                    dict.erase(it);
        },
        stores.protectedFile);
}

} // namespace tallyvox::SettingsManager

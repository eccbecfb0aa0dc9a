#include "settings/ProtectedSettings.h"

#include "base/AtomicFile.h"
#include "base/Log.h"
#include "base/XdgPaths.h"

#include <algorithm>
#include <map>
#include <string>
#include <system_error>
#include <vector>

namespace tallyvox::ProtectedSettings {

namespace {

constexpr std::string_view movedKey = "moved";

// Throws FileError when the file cannot be written.
void save(const PlistValue::Dictionary& dict, const std::filesystem::path& at) {
    writeFileAtomically(at, PlistValue(dict).toXml());
}

std::optional<std::vector<std::string>> textArray(const PlistValue& value) {
    const auto* array = value.arrayValue();
    if (!array)
        return std::nullopt;
    std::vector<std::string> texts;
    for (const auto& item : *array) {
        auto text = item.stringValue();
        if (!text)
            return std::nullopt;
        texts.push_back(*text);
    }
    return texts;
}

} // namespace

std::mutex& lock() {
    static std::mutex mutex;
    return mutex;
}

std::filesystem::path url() {
    return XdgPaths::transcriptsRoot() / ".settings.plist";
}

std::optional<PlistValue::Dictionary> load(const std::filesystem::path& at) {
    auto bytes = readWholeFile(at);
    if (!bytes)
        return std::nullopt;
    auto root = PlistValue::fromXml(*bytes);
    if (!root || !root->dictionaryValue())
        return std::nullopt;
    return *root->dictionaryValue();
}

std::optional<PlistValue> value(std::string_view key, const std::filesystem::path& at) {
    auto dict = load(at);
    if (!dict)
        return std::nullopt;
    auto it = dict->find(key);
    if (it == dict->end())
        return std::nullopt;
    return it->second;
}

void store(const std::function<void(PlistValue::Dictionary&)>& change,
           const std::filesystem::path& at) {
    std::lock_guard guard(lock());
    PlistValue::Dictionary dict = load(at).value_or(PlistValue::Dictionary{});
    change(dict);
    save(dict, at);
}

void update(const std::function<void(PlistValue::Dictionary&)>& change,
            const std::filesystem::path& at) {
    try {
        store(change, at);
    } catch (const std::exception& e) {
        Log::error("Settings not saved: {}", e.what());
    }
}

void storeValue(const std::optional<PlistValue>& value, std::string_view key,
                const std::filesystem::path& at) {
    store(
        [&](PlistValue::Dictionary& dict) {
            if (value)
                dict.insert_or_assign(std::string(key), *value);
            else if (auto it = dict.find(key); it != dict.end())
                dict.erase(it);
        },
        at);
}

void set(const std::optional<PlistValue>& value, std::string_view key,
         const std::filesystem::path& at) {
    try {
        storeValue(value, key, at);
    } catch (const std::exception& e) {
        Log::error("Settings not saved: {}", e.what());
    }
}

void migrate(const std::filesystem::path& at, UserDefaults& defaults) {
    // Read before taking the lock: the preferences may tell observers, who may write here.
    std::map<std::string, std::optional<PlistValue>> current;
    for (auto key : keys)
        current.emplace(key, defaults.object(key));

    std::vector<std::string> pending;
    {
        std::lock_guard guard(lock());
        auto loaded = load(at);
        std::error_code error;
        bool existed =
            loaded || std::filesystem::exists(std::filesystem::symlink_status(at, error));
        PlistValue::Dictionary dict = loaded.value_or(PlistValue::Dictionary{});

        std::vector<std::string> moved;
        if (auto it = dict.find(movedKey); it != dict.end() && textArray(it->second))
            moved = *textArray(it->second);
        else if (existed)
            moved.assign(movedInFirstRelease.begin(), movedInFirstRelease.end());

        for (auto key : keys)
            if (std::find(moved.begin(), moved.end(), key) == moved.end())
                pending.emplace_back(key);
        if (pending.empty() && existed)
            return;

        for (const auto& key : pending) {
            if (const auto& value = current[key])
                dict.insert_or_assign(key, *value);
            else
                dict.erase(key);
        }
        PlistValue::Array all(keys.begin(), keys.end());
        dict.insert_or_assign(std::string(movedKey), PlistValue(std::move(all)));
        try {
            save(dict, at);
        } catch (const std::exception& e) {
            Log::error("Settings not moved: {}", e.what());
            return;
        }
    }
    for (const auto& key : pending)
        defaults.remove(key);
}

} // namespace tallyvox::ProtectedSettings

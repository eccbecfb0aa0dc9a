#pragma once

#include "settings/PlistValue.h"
#include "settings/UserDefaults.h"

#include <array>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tallyvox::ProtectedSettings {

// The settings that decide what is recorded and where transcripts go; they live in their
// own file in the default transcript folder rather than in the ordinary preferences.
inline constexpr std::array<std::string_view, 4> keys{"standingConsentAt", "saveLocation",
                                                      "includeMic", "followMute"};
// Files written before the "moved" list existed held only these.
inline constexpr std::array<std::string_view, 2> movedInFirstRelease{keys[0], keys[1]};

// Serialises every write of the file within the process.
std::mutex& lock();

// ".settings.plist" in the default transcript folder, whatever folder the user chose.
std::filesystem::path url();

// The file's root dictionary; nothing when it is missing, unreadable, corrupt or not one, and
// nothing when it is not the user's own: a link, a file another user owns, or one that other
// users may change. What such a file says (standing consent above all) is never taken on
// trust; the first refusal of each kind is logged.
std::optional<PlistValue::Dictionary> load(const std::filesystem::path& at);

// Why the file at `at` is not read, worded for the user ("belongs to another user"); nothing
// when it is read or simply missing.
std::optional<std::string> refusal(const std::filesystem::path& at);

// Read afresh on every call, without the lock (writes replace the file atomically).
std::optional<PlistValue> value(std::string_view key, const std::filesystem::path& at);

// Stores the value, or removes the key when given nothing. A failed write is logged and the
// previous file stays.
void set(const std::optional<PlistValue>& value, std::string_view key,
         const std::filesystem::path& at);

// The same as `set`, but a failed write throws FileError, for callers that must not go on
// as if the value were stored.
void storeValue(const std::optional<PlistValue>& value, std::string_view key,
                const std::filesystem::path& at);

// Reads, changes and writes the whole dictionary under the lock, so changes to several keys
// land together and no concurrent writer's change is lost. `change` runs under the lock and
// must not call back into this namespace. `store` throws FileError when the file cannot be
// written; `update` logs it and keeps the previous file.
void store(const std::function<void(PlistValue::Dictionary&)>& change,
           const std::filesystem::path& at);
void update(const std::function<void(PlistValue::Dictionary&)>& change,
            const std::filesystem::path& at);

// Moves the protected keys out of the ordinary preferences, once. The preferences keep them
// until the file has been written.
void migrate(const std::filesystem::path& at, UserDefaults& defaults);

} // namespace tallyvox::ProtectedSettings

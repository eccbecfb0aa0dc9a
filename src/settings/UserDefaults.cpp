#include "settings/UserDefaults.h"

#include "base/AtomicFile.h"
#include "base/BoundedRead.h"
#include "base/Log.h"
#include "base/XdgPaths.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>

namespace tallyvox {

namespace {

std::string lowered(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

std::optional<double> parsedNumber(std::string_view text) {
    text = trimmed(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data())
        return std::nullopt;
    return value;
}

std::int64_t truncatedToInteger(double value) {
    if (std::isnan(value))
        return 0;
    if (value >= 9.2e18)
        return std::numeric_limits<std::int64_t>::max();
    if (value <= -9.2e18)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

std::string numberText(double value) {
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return error == std::errc() ? std::string(buffer, end) : std::string();
}

// Moves `file` to a name beside it that nothing holds yet; the new name, or nothing when it
// could not be moved.
std::optional<std::filesystem::path> keepAside(const std::filesystem::path& file) {
    for (int attempt = 1; attempt <= 100; ++attempt) {
        auto kept = file;
        kept += attempt == 1 ? ".unreadable" : ".unreadable-" + std::to_string(attempt);
        if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, kept.c_str(), RENAME_NOREPLACE) == 0)
            return kept;
        if (errno == EEXIST)
            continue;
        // A file system without the no-replace rename: the name is checked first instead.
        std::error_code ignored;
        if (errno != EINVAL ||
            std::filesystem::exists(std::filesystem::symlink_status(kept, ignored)) ||
            std::rename(file.c_str(), kept.c_str()) != 0)
            return std::nullopt;
        return kept;
    }
    return std::nullopt;
}

} // namespace

UserDefaults::UserDefaults(std::filesystem::path file)
    : file_(std::move(file)) {}

std::filesystem::path UserDefaults::standardFile() {
    return XdgPaths::configHome() / "tallyvox" / "preferences.plist";
}

void UserDefaults::registerDefaults(const PlistValue::Dictionary& defaults) {
    std::lock_guard lock(mutex_);
    for (const auto& [key, value] : defaults)
        registered_.insert_or_assign(key, value);
}

PlistValue::Dictionary UserDefaults::registeredDefaults() {
    std::lock_guard lock(mutex_);
    return registered_;
}

std::optional<PlistValue> UserDefaults::object(std::string_view key) {
    std::optional<PlistValue> answer;
    std::vector<std::string> changed;
    {
        std::lock_guard lock(mutex_);
        changed = refreshLocked();
        if (auto it = stored_.find(key); it != stored_.end())
            answer = it->second;
        else if (auto reg = registered_.find(key); reg != registered_.end())
            answer = reg->second;
    }
    notify(changed);
    return answer;
}

bool UserDefaults::boolValue(std::string_view key) {
    auto value = object(key);
    if (!value)
        return false;
    if (auto b = value->boolValue())
        return *b;
    if (auto i = value->integerValue())
        return *i != 0;
    if (auto r = value->realValue())
        return *r != 0;
    if (auto s = value->stringValue()) {
        std::string text = lowered(std::string(trimmed(*s)));
        if (text == "yes" || text == "true")
            return true;
        auto number = parsedNumber(text);
        return number && *number != 0;
    }
    return false;
}

std::int64_t UserDefaults::integerValue(std::string_view key) {
    auto value = object(key);
    if (!value)
        return 0;
    if (auto i = value->integerValue())
        return *i;
    if (auto b = value->boolValue())
        return *b ? 1 : 0;
    if (auto r = value->realValue())
        return truncatedToInteger(*r);
    if (auto s = value->stringValue()) {
        std::string_view text = trimmed(*s);
        std::int64_t number = 0;
        if (!text.empty() && text.front() == '+')
            text.remove_prefix(1);
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (error == std::errc() && end != text.data())
            return number;
        if (auto real = parsedNumber(text))
            return truncatedToInteger(*real);
    }
    return 0;
}

double UserDefaults::doubleValue(std::string_view key) {
    auto value = object(key);
    if (!value)
        return 0;
    if (auto r = value->realValue())
        return *r;
    if (auto i = value->integerValue())
        return static_cast<double>(*i);
    if (auto b = value->boolValue())
        return *b ? 1 : 0;
    if (auto s = value->stringValue())
        return parsedNumber(*s).value_or(0);
    return 0;
}

std::string UserDefaults::stringValue(std::string_view key) {
    auto value = object(key);
    if (!value)
        return {};
    if (auto s = value->stringValue())
        return *s;
    if (auto i = value->integerValue())
        return std::to_string(*i);
    if (auto r = value->realValue())
        return numberText(*r);
    return {};
}

void UserDefaults::set(std::string_view key, PlistValue value) {
    notify(change(key, std::move(value)));
}

void UserDefaults::remove(std::string_view key) {
    notify(change(key, std::nullopt));
}

Subscription UserDefaults::observe(Observer observer) {
    std::lock_guard lock(observers_->mutex);
    int key = observers_->nextKey++;
    observers_->byKey.emplace(key, std::move(observer));
    std::weak_ptr<Observers> weak = observers_;
    return Subscription([weak, key] {
        if (auto observers = weak.lock()) {
            std::lock_guard lock(observers->mutex);
            observers->byKey.erase(key);
        }
    });
}

UserDefaults::FileIdentity UserDefaults::identityOfFile() const {
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0)
        return {};
    return {true, static_cast<std::uintmax_t>(st.st_dev), static_cast<std::uintmax_t>(st.st_ino),
            static_cast<std::intmax_t>(st.st_size),
            std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
}

std::vector<std::string> UserDefaults::refreshLocked() {
    FileIdentity identity = identityOfFile();
    if (lastRead_ && *lastRead_ == identity)
        return {};
    lastRead_ = identity;

    // A file that cannot be read as ours counts as empty, so the defaults apply; it is only
    // read again once it changes, so this is said once per version of the file.
    PlistValue::Dictionary fresh;
    unreadable_ = false;
    if (identity.exists) {
        try {
            auto root = PlistValue::fromFileBytes(readFileBounded(file_, maxPlistBytes));
            if (root && root->dictionaryValue()) {
                fresh = *root->dictionaryValue();
            } else {
                unreadable_ = true;
                Log::error("The preferences file {} is damaged; using the defaults",
                           file_.string());
            }
        } catch (const UnreadableFile& error) {
            unreadable_ = !error.missing();
            if (unreadable_)
                Log::error("The preferences file {} {}; using the defaults", file_.string(),
                           error.reason());
        }
    }

    std::vector<std::string> changed;
    for (const auto& [key, value] : fresh)
        if (auto old = stored_.find(key); old == stored_.end() || !(old->second == value))
            changed.push_back(key);
    for (const auto& [key, value] : stored_)
        if (!fresh.count(key))
            changed.push_back(key);
    stored_ = std::move(fresh);
    return changed;
}

std::vector<std::string> UserDefaults::change(std::string_view key,
                                              std::optional<PlistValue> value) {
    std::lock_guard lock(mutex_);
    // Start from what is on disk, so another process's keys are not written over.
    std::vector<std::string> changed = refreshLocked();
    auto it = stored_.find(key);
    bool differs = value ? (it == stored_.end() || !(it->second == *value)) : it != stored_.end();
    if (!differs)
        return changed;
    if (value)
        stored_.insert_or_assign(std::string(key), std::move(*value));
    else
        stored_.erase(it);
    changed.emplace_back(key);

    // What could not be read may still be the user's settings (written by a newer version,
    // or by hand): it is set aside, never written over.
    if (unreadable_) {
        auto kept = keepAside(file_);
        if (!kept) {
            Log::error("Preferences not saved: {} could not be read, nor moved aside to keep it",
                       file_.string());
            return changed;
        }
        unreadable_ = false;
        Log::error("The preferences file {} could not be read; it is kept as {}, and a new one "
                   "holds the settings changed from now on",
                   file_.string(), kept->string());
    }
    try {
        writeFileAtomically(file_, PlistValue(stored_).toXml());
        lastRead_ = identityOfFile();
    } catch (const std::exception& e) {
        Log::error("Preferences not saved: {}", e.what());
    }
    return changed;
}

void UserDefaults::notify(const std::vector<std::string>& keys) {
    if (keys.empty())
        return;
    std::map<int, Observer> observers;
    {
        std::lock_guard lock(observers_->mutex);
        observers = observers_->byKey;
    }
    for (const auto& key : keys)
        for (const auto& [id, observer] : observers)
            observer(key);
}

} // namespace tallyvox

#pragma once

#include "base/Observable.h"
#include "settings/PlistValue.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvox {

// The ordinary preferences: one property-list dictionary in a file (written as XML; a binary
// one is read too), plus defaults registered in memory at launch. A file that cannot be read
// is moved aside (".unreadable") before the first change is written, never written over. Another
// process's change to the file is noticed on the next read. Every member may be called from any
// thread; observers are told on the thread that made (or noticed) the change, outside the store's
// lock.
class UserDefaults {
public:
    using Observer = std::function<void(const std::string& key)>;

    explicit UserDefaults(std::filesystem::path file);
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // $XDG_CONFIG_HOME/tallyvox/preferences.plist.
    static std::filesystem::path standardFile();

    const std::filesystem::path& file() const { return file_; }

    // Adds to (or replaces) earlier registrations; never written to the file.
    void registerDefaults(const PlistValue::Dictionary& defaults);

    // What registerDefaults() holds, for tools that list or check keys.
    PlistValue::Dictionary registeredDefaults();
    // The stored value, else the registered default, else nothing.
    std::optional<PlistValue> object(std::string_view key);
    // Numbers and texts convert the usual way; anything missing reads false, 0 or "".
    bool boolValue(std::string_view key);
    std::int64_t integerValue(std::string_view key);
    double doubleValue(std::string_view key);
    std::string stringValue(std::string_view key);

    // Written through at once; a failed write is logged and the value is kept for this run.
    void set(std::string_view key, PlistValue value);
    void remove(std::string_view key);

    // Told the key of every stored value that changed.
    [[nodiscard]] Subscription observe(Observer observer);

private:
    struct FileIdentity {
        bool exists = false;
        std::uintmax_t device = 0;
        std::uintmax_t inode = 0;
        std::intmax_t size = 0;
        std::int64_t modifiedNanos = 0;
        bool operator==(const FileIdentity&) const = default;
    };
    struct Observers {
        std::mutex mutex;
        std::map<int, Observer> byKey;
        int nextKey = 0;
    };

    FileIdentity identityOfFile() const;
    // Re-reads the file when it is not the one last read; answers the keys that changed.
    std::vector<std::string> refreshLocked();
    std::vector<std::string> change(std::string_view key, std::optional<PlistValue> value);
    void notify(const std::vector<std::string>& keys);

    std::filesystem::path file_;
    std::mutex mutex_;
    PlistValue::Dictionary stored_;
    PlistValue::Dictionary registered_;
    std::optional<FileIdentity> lastRead_;
    // The file last read exists but could not be read as preferences.
    bool unreadable_ = false;
    std::shared_ptr<Observers> observers_ = std::make_shared<Observers>();
};

} // namespace tallyvox

#pragma once

#include "detection/BrowserTabs.h"
#include "detection/linux/ProcFs.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

// Reads a browser's open tabs from the session files it keeps in its profiles, across its
// native, snap and flatpak installs. One running browser may have several profiles open at
// once (work and personal), each saving its own file, so every profile whose session file
// was written since the browser process started is read and their tabs joined, newest file
// first; a file older than the process belongs to a profile that is closed now. Within a
// profile only the newest file is current. When the start of the process cannot be read,
// the newest file across all profiles is read alone. A file that cannot be read does not
// hide the tabs of the others: the browser is unreadable only when no file could be read.
// Links among the profiles are followed only while they stay inside the real path of the
// browser's profile folder.
//
// Firefox's profiles.ini and installs.ini are read too, for profiles kept elsewhere than its
// profiles folder; such a profile is read only inside the user's home folder.
class BrowserSessionFiles : public BrowserTabs {
public:
    // Where the profile folders are looked for.
    struct UserFolders {
        std::filesystem::path home;
        // $XDG_CONFIG_HOME: the folder a browser's ".config/…" profile root really is in.
        std::filesystem::path config;
        // The home folder with its usual configuration folder, ~/.config.
        static UserFolders under(std::filesystem::path home);
        // $HOME, and $XDG_CONFIG_HOME where it is set to an absolute path.
        static UserFolders ofUser();
    };

    // `procRoot` is where the browser's start is read (PID/stat and stat).
    explicit BrowserSessionFiles(UserFolders folders, std::string procRoot = "/proc");
    explicit BrowserSessionFiles(std::filesystem::path home, std::string procRoot = "/proc")
        : BrowserSessionFiles(UserFolders::under(std::move(home)), std::move(procRoot)) {}

    Read read(const Browser& browser, std::int32_t pid) override;

    // A file written this long before the process started still counts as written after:
    // the start is known to a clock tick, file times to the file system's granularity.
    static constexpr std::chrono::seconds startSlack{2};
    // At most this many profiles are read at once, and at most maxFileBytes of their files
    // together, so a read costs no more than one large session file.
    static constexpr std::size_t maxFilesPerRead = 16;

    struct Found {
        std::optional<std::filesystem::path> file;
        // Why none was found, when a folder could not be searched.
        std::optional<std::string> problem;
    };
    static Found newestSessionFile(const Browser& browser, const UserFolders& folders);

    struct SessionFile {
        std::filesystem::path file;
        std::filesystem::file_time_type written;
        // Where it really is; inside the real path of the browser's profile folder.
        std::filesystem::path real;
    };
    struct ProfileFiles {
        // The newest session file of each profile, newest first.
        std::vector<SessionFile> files;
        // Set when a folder could not be searched.
        std::optional<std::string> problem;
    };
    static ProfileFiles profileSessionFiles(const Browser& browser, const UserFolders& folders);

private:
    UserFolders folders_;
    ProcFs proc_;
    std::mutex mutex_;
    // The partial failure last logged for each browser, so it is logged once, not every read.
    std::map<std::string, std::string> reported_;
};

} // namespace tallyvox

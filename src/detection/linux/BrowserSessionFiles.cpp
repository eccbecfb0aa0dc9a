#include "detection/linux/BrowserSessionFiles.h"

#include "base/BoundedRead.h"
#include "base/Log.h"
#include "detection/linux/BrowserSessionFormats.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace tallyvox {

namespace fs = std::filesystem;

namespace {

using SessionFile = BrowserSessionFiles::SessionFile;

// Whether `path` is `root` or inside it; both are real paths.
bool within(const fs::path& path, const fs::path& root) {
    auto [inRoot, inPath] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return inRoot == root.end();
}

// Links are followed only while they stay in the browser's profile folder (`realRoot`, its
// real path): what the browser keeps there may be arranged with links, but a link that
// leads elsewhere would have us read, and report, files the browser never wrote.
void consider(const fs::path& file, const fs::path& realRoot, std::optional<SessionFile>& newest,
              std::optional<std::string>& problem) {
    std::error_code error;
    if (!fs::is_regular_file(file, error))
        return;
    auto real = fs::canonical(file, error);
    if (error)
        return;
    if (!within(real, realRoot)) {
        problem = "its session file " + file.string() + " leads out of its profile folder";
        return;
    }
    auto written = fs::last_write_time(real, error);
    if (!error && (!newest || written > newest->written))
        newest = SessionFile{file, written, std::move(real)};
}

// Reads the whole file, refusing one larger than `limit` before reading it, and anything
// swapped in since it was listed that is not a plain file (a FIFO would block the open).
std::string readBounded(const fs::path& file, std::size_t limit, const char* tooLarge) {
    try {
        return readFileBounded(file, limit, Links::refuse);
    } catch (const UnreadableFile& error) {
        if (error.tooLarge())
            throw BrowserSessionFormats::SessionFileUnreadable(tooLarge);
        throw BrowserSessionFormats::SessionFileUnreadable("the session file " + error.reason());
    }
}

std::vector<std::string> openTabs(const Browser& browser, const std::string& bytes) {
    if (browser.family == BrowserFamily::firefox)
        return BrowserSessionFormats::firefoxOpenTabs(
            BrowserSessionFormats::mozLz4Decompress(bytes));
    return BrowserSessionFormats::chromiumOpenTabs(bytes);
}

// The profile folder a session file belongs to, as the user knows it ("Default", "Profile 1",
// "x1y2.default-esr").
std::string profileName(const fs::path& file) {
    return file.parent_path().parent_path().filename().string();
}

} // namespace

BrowserSessionFiles::UserFolders BrowserSessionFiles::UserFolders::under(fs::path home) {
    auto config = home / ".config";
    return {std::move(home), std::move(config)};
}

BrowserSessionFiles::UserFolders BrowserSessionFiles::UserFolders::ofUser() {
    const char* home = std::getenv("HOME");
    auto folders = under(home && *home ? fs::path(home) : fs::path());
    // A relative value is to be ignored, as other desktop programs do.
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/')
        folders.config = config;
    return folders;
}

BrowserSessionFiles::BrowserSessionFiles(UserFolders folders, std::string procRoot)
    : folders_(std::move(folders))
    , proc_(std::move(procRoot)) {}

namespace {

using ProfileFiles = BrowserSessionFiles::ProfileFiles;
using UserFolders = BrowserSessionFiles::UserFolders;

// The newest session file of one profile folder, its links kept inside `realRoot`.
void readProfile(const Browser& browser, const fs::path& profile, const fs::path& realRoot,
                 ProfileFiles& found) {
    std::error_code error;
    std::optional<SessionFile> newest;
    if (browser.family == BrowserFamily::firefox) {
        consider(profile / "sessionstore-backups" / "recovery.jsonlz4", realRoot, newest,
                 found.problem);
    } else {
        // Session_* is the live session; Tabs_* only lists recently closed tabs.
        fs::directory_iterator sessions(profile / "Sessions", error);
        if (error) {
            if (error != std::errc::no_such_file_or_directory)
                found.problem = "its session folder in " + profile.string() + " cannot be read (" +
                                error.message() + ")";
            return;
        }
        for (const auto& file : sessions)
            if (file.path().filename().string().starts_with("Session_"))
                consider(file.path(), realRoot, newest, found.problem);
    }
    if (newest)
        found.files.push_back(std::move(*newest));
}

// The profiles Firefox's own lists name: those kept outside its profiles folder (made with
// the profile manager's "Choose Folder…") are found nowhere else. They are read only inside
// the home folder: a list pointing elsewhere would have us read and report files the user
// never had.
void readListedProfiles(const Browser& browser, const fs::path& folder, const fs::path& realRoot,
                        const UserFolders& folders, ProfileFiles& found) {
    std::error_code error;
    const auto realHome = fs::canonical(folders.home, error);
    for (const char* list : {"profiles.ini", "installs.ini"}) {
        auto text =
            tryReadFileBounded(folder / list, BrowserSessionFormats::maxIniBytes, Links::follow);
        if (!text)
            continue;
        for (const auto& listed : BrowserSessionFormats::firefoxProfilePaths(*text)) {
            if (listed.relative) {
                // Also the ordinary profiles the folder listing found; each file counts once.
                const auto profile = folder / listed.path.relative_path();
                auto real = fs::canonical(profile, error);
                if (!error && within(real, realRoot))
                    readProfile(browser, profile, realRoot, found);
                continue;
            }
            auto real = fs::canonical(listed.path, error);
            if (error)
                continue;
            if (realHome.empty() || !within(real, realHome)) {
                const auto why = "its profile folder " + listed.path.string() + " named in " +
                                 (folder / list).string() + " is outside the home folder";
                found.problem = why;
                continue;
            }
            readProfile(browser, listed.path, real, found);
        }
    }
}

} // namespace

BrowserSessionFiles::ProfileFiles
BrowserSessionFiles::profileSessionFiles(const Browser& browser, const UserFolders& folders) {
    ProfileFiles found;
    for (const auto& root : browser.profileRoots) {
        // The browser's own folder in the configuration folder follows $XDG_CONFIG_HOME; a
        // snap's or flatpak's is inside its own home and does not.
        constexpr std::string_view config = ".config/";
        const fs::path folder = root.starts_with(config)
                                    ? folders.config / root.substr(config.size())
                                    : folders.home / root;
        std::error_code error;
        if (!fs::exists(folder, error))
            continue;
        const auto realRoot = fs::canonical(folder, error);
        fs::directory_iterator profiles;
        if (!error)
            profiles = fs::directory_iterator(folder, error);
        if (error) {
            found.problem = "its profile folder " + folder.string() + " cannot be read (" +
                            error.message() + ")";
            continue;
        }
        for (const auto& profile : profiles) {
            std::error_code inner;
            if (!profile.is_directory(inner))
                continue;
            const auto realProfile = fs::canonical(profile.path(), inner);
            if (inner)
                continue;
            if (!within(realProfile, realRoot)) {
                found.problem = "its profile folder " + profile.path().string() + " leads out of " +
                                folder.string();
                continue;
            }
            readProfile(browser, profile.path(), realRoot, found);
        }
        if (browser.family == BrowserFamily::firefox)
            readListedProfiles(browser, folder, realRoot, folders, found);
    }
    // One install's folder may be a link to another's: the same file counts once.
    std::vector<fs::path> seen;
    std::erase_if(found.files, [&](const SessionFile& file) {
        if (std::find(seen.begin(), seen.end(), file.real) != seen.end())
            return true;
        seen.push_back(file.real);
        return false;
    });
    std::stable_sort(found.files.begin(), found.files.end(),
                     [](const auto& a, const auto& b) { return a.written > b.written; });
    return found;
}

BrowserSessionFiles::Found BrowserSessionFiles::newestSessionFile(const Browser& browser,
                                                                  const UserFolders& folders) {
    auto profiles = profileSessionFiles(browser, folders);
    Found found;
    if (!profiles.files.empty())
        found.file = profiles.files.front().file;
    found.problem = std::move(profiles.problem);
    return found;
}

BrowserTabs::Read BrowserSessionFiles::read(const Browser& browser, std::int32_t pid) {
    auto profiles = profileSessionFiles(browser, folders_);
    if (profiles.files.empty()) {
        if (profiles.problem)
            return {{}, profiles.problem, false};
        return {{}, "no session file was found in its profile folders", true};
    }

    std::vector<SessionFile> open;
    if (auto started = proc_.startedAt(pid)) {
        const auto since = fs::file_time_type::clock::from_sys(*started - startSlack);
        for (const auto& file : profiles.files)
            if (file.written >= since)
                open.push_back(file);
        // Nothing saved since it started: its profiles have no tabs to show yet, unless the
        // one in use is in a folder we cannot search.
        if (open.empty())
            return {{}, profiles.problem};
    } else {
        open.push_back(profiles.files.front());
    }

    std::vector<std::string> urls;
    std::vector<std::string> problems;
    if (profiles.problem)
        problems.push_back(*profiles.problem);
    bool anyRead = false;
    std::size_t budget = BrowserSessionFormats::maxFileBytes;
    for (std::size_t i = 0; i < open.size(); ++i) {
        if (i == maxFilesPerRead) {
            problems.push_back(std::to_string(open.size() - i) +
                               " more open profiles were not read (at most " +
                               std::to_string(maxFilesPerRead) + " are read at once)");
            break;
        }
        const char* tooLarge = budget < BrowserSessionFormats::maxFileBytes
                                   ? "the session files of its open profiles are too large"
                                   : "the session file is too large";
        try {
            const auto bytes = readBounded(open[i].real, budget, tooLarge);
            budget -= bytes.size();
            auto tabs = openTabs(browser, bytes);
            urls.insert(urls.end(), std::make_move_iterator(tabs.begin()),
                        std::make_move_iterator(tabs.end()));
            anyRead = true;
        } catch (const BrowserSessionFormats::SessionFileUnreadable& error) {
            std::string why = error.what();
            // With several profiles open, say which one.
            if (open.size() > 1) {
                why += " (profile ";
                why += profileName(open[i].file);
                why += ")";
            }
            problems.push_back(std::move(why));
        }
    }

    std::string problem;
    for (const auto& each : problems) {
        if (!problem.empty())
            problem += "; ";
        problem += each;
    }
    if (!anyRead)
        return {{}, problem};

    // The tabs that could be read stand; what could not is logged once until it changes.
    std::lock_guard lock(mutex_);
    auto& last = reported_[browser.name];
    if (!problem.empty() && problem != last)
        Log::error("Some tabs of {} cannot be read: {}", browser.name, problem);
    last = problem;
    return {std::move(urls), std::nullopt};
}

} // namespace tallyvox

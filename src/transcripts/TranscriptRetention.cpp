// Retention: old transcripts to the Trash, leftovers of interrupted writes removed.

#include "base/Log.h"
#include "base/XdgPaths.h"
#include "transcripts/TranscriptManager.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyvox::TranscriptManager {

namespace fs = std::filesystem;

namespace {

// The path with "." and ".." resolved and no trailing slash, for prefix comparisons.
std::string standardised(const fs::path& path) {
    std::string text = path.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

// Lists a folder's entry names; nothing when it cannot be read.
std::optional<std::vector<std::string>> entryNames(const fs::path& folder) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec)
        return std::nullopt;
    std::vector<std::string> names;
    for (; it != fs::directory_iterator(); it.increment(ec))
        names.push_back(it->path().filename().string());
    if (ec)
        return std::nullopt;
    return names;
}

// Litter from Macs (.DS_Store) does not keep a folder alive; anything else, even a ".DS_Store"
// folder, does.
bool removeIfEmpty(const fs::path& folder) {
    auto names = entryNames(folder);
    if (!names)
        return false;
    for (const auto& name : *names)
        if (name != ".DS_Store")
            return false;
    if (!names->empty()) {
        fs::path litter = folder / ".DS_Store";
        struct stat st {};
        if (::lstat(litter.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
            return false;
        ::unlink(litter.c_str());
    }
    ::rmdir(folder.c_str());
    return true;
}

// Removes emptied folders from `folder` upward, strictly inside `root`.
void removeEmptiedFolders(fs::path folder, const std::string& root) {
    const std::string inside = root == "/" ? root : root + "/";
    while (true) {
        std::string path = standardised(folder);
        if (path.size() <= inside.size() || path.compare(0, inside.size(), inside) != 0)
            return;
        if (!removeIfEmpty(path))
            return;
        folder = fs::path(path).parent_path();
    }
}

// A desktop Trash: what is in it was already thrown away, and moving it again would orphan
// its .trashinfo and reset its deletion date.
bool isTrashFolder(const fs::path& folder) {
    const std::string name = folder.filename().string();
    if (name == ".Trash" || name.starts_with(".Trash-"))
        return true;
    if (name != "Trash")
        return false;
    fs::path parent = folder.parent_path();
    if (parent.filename() == "share" && parent.parent_path().filename() == ".local")
        return true;
    return standardised(folder) == standardised(XdgPaths::dataHome() / "Trash");
}

SystemTime modifiedAt(const struct stat& st) {
    return SystemTime{std::chrono::duration_cast<SystemTime::duration>(
        std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec))};
}

SystemTime daysBefore(SystemTime now, int days) {
    // Past about 200 years the cutoff would overflow the clock and wrap into the future,
    // which would make every file look old.
    return now - std::chrono::seconds(86400LL * std::clamp(days, 0, 73000));
}

using FileVisit =
    std::function<void(const fs::path& folder, const fs::path& file, const struct stat& st)>;

// Calls `visit` for every regular file below `root`, hidden ones included. Links are never
// followed, each folder is walked once (a bind mount could lead in circles), Trash folders
// and unreadable folders are passed over. False when the root itself cannot be walked.
bool walkFiles(const fs::path& root, const FileVisit& visit) {
    std::set<std::pair<dev_t, ino_t>> seen;
    std::vector<fs::path> pending{root};
    bool walkedRoot = false;
    while (!pending.empty()) {
        fs::path folder = std::move(pending.back());
        pending.pop_back();

        struct stat folderStat {};
        if (::stat(folder.c_str(), &folderStat) != 0 || !S_ISDIR(folderStat.st_mode) ||
            !seen.insert({folderStat.st_dev, folderStat.st_ino}).second)
            continue;

        std::error_code ec;
        fs::directory_iterator it(folder, ec);
        if (ec)
            continue;
        walkedRoot = true;

        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            const fs::path& item = it->path();
            struct stat st {};
            if (::lstat(item.c_str(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode)) {
                if (!isTrashFolder(item))
                    pending.push_back(item);
            } else if (S_ISREG(st.st_mode)) {
                visit(folder, item, st);
            }
        }
    }
    return walkedRoot;
}

} // namespace

bool isWriteLeftover(std::string_view fileName) {
    // ".<name>.XXXXXX": the temporary copy an atomic write renames into place.
    constexpr std::size_t suffix = 7;
    if (fileName.size() < 1 + suffix + 1 || fileName.front() != '.')
        return false;
    std::string_view tail = fileName.substr(fileName.size() - suffix);
    if (tail.front() != '.' || !std::all_of(tail.begin() + 1, tail.end(),
                                            [](unsigned char c) { return std::isalnum(c) != 0; }))
        return false;
    std::string_view name = fileName.substr(1, fileName.size() - 1 - suffix);
    return isAppFile(name) || name == ".settings.plist";
}

int removeWriteLeftovers(const fs::path& root, SystemTime now) {
    // A day old: no write of ours takes that long, so the copy can only be a crash's.
    const SystemTime cutoff = daysBefore(now, 1);
    int removed = 0;
    walkFiles(standardised(root),
              [&](const fs::path&, const fs::path& file, const struct stat& st) {
                  if (isWriteLeftover(file.filename().string()) && modifiedAt(st) < cutoff &&
                      ::unlink(file.c_str()) == 0)
                      ++removed;
              });
    if (removed > 0)
        Log::info("Removed {} leftover copies of interrupted writes", removed);
    return removed;
}

int trashOld(const fs::path& root, int olderThanDays, SystemTime now, const TrashOperation& trash) {
    // Fewer than one day is "never": a cut-off of now would take every file, the running
    // meeting's included.
    if (olderThanDays < 1)
        return 0;
    const SystemTime cutoff = daysBefore(now, olderThanDays);
    const std::string rootText = standardised(root);

    int moved = 0;
    std::set<fs::path> touchedFolders;
    bool walked = walkFiles(rootText, [&](const fs::path& folder, const fs::path& item,
                                          const struct stat& st) {
        if (!isAppFile(item.filename().string()) || !(modifiedAt(st) < cutoff))
            return;
        try {
            trash(item);
            ++moved;
            touchedFolders.insert(folder);
        } catch (const std::exception& e) {
            Log::error("Auto-delete failed for {}: {}", item.filename().string(), e.what());
        } catch (...) {
            Log::error("Auto-delete failed for {}: {}", item.filename().string(), "unknown error");
        }
    });
    if (!walked)
        return 0;

    for (const auto& folder : touchedFolders)
        removeEmptiedFolders(folder, rootText);

    if (moved > 0)
        Log::info("Moved {} old transcript files to the Trash", moved);
    return moved;
}

} // namespace tallyvox::TranscriptManager

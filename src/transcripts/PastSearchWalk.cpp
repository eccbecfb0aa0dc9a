#include "transcripts/PastSearch.h"

#include "transcripts/TranscriptManager.h"

#include <algorithm>
#include <set>
#include <sys/stat.h>

namespace tallyvox::PastSearch {

namespace fs = std::filesystem;

namespace {

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

bool isTranscriptName(const std::string& name) {
    return endsWith(name, ".txt") && !endsWith(name, ".diagnostics.txt") &&
           TranscriptManager::isAppFile(name);
}

// What is in a desktop Trash was thrown away; a search never brings it back.
bool isTrashFolder(const fs::path& folder) {
    const std::string name = folder.filename().string();
    if (name == ".Trash" || name.starts_with(".Trash-"))
        return true;
    const fs::path parent = folder.parent_path();
    return name == "Trash" && parent.filename() == "share" &&
           parent.parent_path().filename() == ".local";
}

bool isInside(const fs::path& path, const fs::path& root) {
    const auto& p = path.native();
    const auto& r = root.native();
    return p.size() > r.size() && p.compare(0, r.size(), r) == 0 &&
           (r.back() == '/' || p[r.size()] == '/');
}

} // namespace

std::vector<fs::path> transcriptFiles(const fs::path& root) {
    std::error_code ec;
    const fs::path top = fs::canonical(root, ec);
    if (ec || !fs::is_directory(top, ec))
        return {};

    struct Found {
        fs::path path;
        fs::file_time_type modified;
    };
    std::vector<Found> files, linked;
    auto measure = [](const fs::path& path, std::vector<Found>& into) {
        std::error_code error;
        const auto size = fs::file_size(path, error);
        if (error || size > maxFileBytes)
            return;
        auto modified = fs::last_write_time(path, error);
        if (error)
            modified = fs::file_time_type::min();
        into.push_back({path, modified});
    };

    // Our own walk rather than a recursive iterator, so a folder that can't be listed loses
    // only itself, links to folders are never entered, and each folder is walked once (a
    // bind mount could lead in circles).
    std::set<std::pair<dev_t, ino_t>> seen;
    std::vector<fs::path> folders{top};
    while (!folders.empty()) {
        const fs::path folder = std::move(folders.back());
        folders.pop_back();
        struct stat folderStat {};
        // Below the top, a folder swapped for a link since it was listed is not entered.
        const int got = folder == top ? ::stat(folder.c_str(), &folderStat)
                                      : ::lstat(folder.c_str(), &folderStat);
        if (got != 0 || !S_ISDIR(folderStat.st_mode) ||
            !seen.insert({folderStat.st_dev, folderStat.st_ino}).second)
            continue;
        std::error_code error;
        fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
        for (; !error && it != fs::directory_iterator(); it.increment(error)) {
            const auto& entry = *it;
            std::error_code statusError;
            const auto type = entry.symlink_status(statusError).type();
            if (statusError)
                continue;
            if (type == fs::file_type::directory) {
                if (!isTrashFolder(entry.path()))
                    folders.push_back(entry.path());
                continue;
            }
            const std::string name = entry.path().filename().string();
            if (!isTranscriptName(name))
                continue;
            if (type == fs::file_type::regular) {
                measure(entry.path(), files);
            } else if (type == fs::file_type::symlink) {
                // A link is read only when it ends at a transcript file inside this folder;
                // never one that leads elsewhere on the computer.
                const fs::path target = fs::canonical(entry.path(), statusError);
                if (!statusError && isInside(target, top) &&
                    fs::is_regular_file(fs::symlink_status(target, statusError)) && !statusError)
                    measure(target, linked);
            }
        }
    }
    // A link to a file that the walk found anyway adds nothing.
    std::sort(files.begin(), files.end(),
              [](const Found& a, const Found& b) { return a.path < b.path; });
    for (auto& link : linked)
        if (!std::binary_search(files.begin(), files.end(), link,
                                [](const Found& a, const Found& b) { return a.path < b.path; }))
            files.push_back(std::move(link));
    std::sort(files.begin(), files.end(), [](const Found& a, const Found& b) {
        if (a.modified != b.modified)
            return a.modified > b.modified;
        return a.path < b.path;
    });
    files.erase(std::unique(files.begin(), files.end(),
                            [](const Found& a, const Found& b) { return a.path == b.path; }),
                files.end());
    std::vector<fs::path> out;
    out.reserve(files.size());
    for (auto& found : files)
        out.push_back(std::move(found.path));
    return out;
}

} // namespace tallyvox::PastSearch

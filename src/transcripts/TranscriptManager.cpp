#include "transcripts/TranscriptManager.h"

#include "base/AtomicFile.h"
#include "base/Log.h"
#include "base/XdgPaths.h"
#include "transcripts/DateText.h"
#include "transcripts/TranscriptFormat.h"

#include <algorithm>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyvox::TranscriptManager {

namespace fs = std::filesystem;

fs::path defaultRoot() {
    return XdgPaths::documents() / "Tallyvox";
}

bool pathExists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

fs::path fileURL(const fs::path& root, Platform platform, SystemTime start,
                 const ExistsTest& exists) {
    fs::path folder = root / DateText::format(start, "yyyy") / DateText::format(start, "MMMM") /
                      DateText::format(start, "dd-MM-yy");
    std::string base =
        std::string(rawValue(platform)) + "_Meeting_" + DateText::format(start, "HH-mm");
    fs::path candidate = folder / (base + ".txt");
    for (int n = 2; exists(candidate); ++n)
        candidate = folder / (base + "_" + std::to_string(n) + ".txt");
    return candidate;
}

std::vector<std::pair<std::string, std::string>> header(const TranscriptRecord& record) {
    std::vector<std::pair<std::string, std::string>> pairs = {
        {"Meeting", record.title()},
        {"Platform", record.platformName()},
        {"Date", DateText::format(record.startedAt, "d MMMM y")},
        {"Start", DateText::format(record.startedAt, "h:mm a")},
    };
    if (record.endedAt)
        pairs.emplace_back("End", DateText::format(*record.endedAt, "h:mm a"));
    if (record.automaticConsent)
        pairs.emplace_back("Consent",
                           "Automatic transcription (standing consent given by user on " +
                               DateText::format(record.consentAt, "d MMMM y") + ")");
    else
        pairs.emplace_back("Consent",
                           "Confirmed by user at " + DateText::format(record.consentAt, "h:mm a"));
    if (record.wordFixes > 0)
        pairs.emplace_back("Edited", std::to_string(record.wordFixes) + " word fix" +
                                         (record.wordFixes == 1 ? "" : "es") + " by the user");
    return pairs;
}

std::vector<Block> blocks(const std::vector<TranscriptSegment>& segments) {
    std::vector<Block> result;
    for (const auto& segment : segments) {
        if (segment.speaker && !result.empty() && result.back().speaker == segment.speaker) {
            result.back().text += ' ';
            result.back().text += segment.text;
        } else {
            result.push_back({segment.start, segment.speaker, segment.text});
        }
    }
    return result;
}

namespace {

// "[00:00:04] Sam:" or "[00:00:04]".
std::string blockHeading(const Block& block, const SpeakerName& name) {
    std::string heading = "[" + TranscriptFormat::timestamp(block.start) + "]";
    if (block.speaker)
        heading += " " + TranscriptFormat::oneLine(name(*block.speaker)) + ":";
    return heading;
}

} // namespace

std::string text(const TranscriptRecord& record, const std::vector<TranscriptSegment>& segments,
                 const SpeakerName& name) {
    std::string out;
    for (const auto& [label, value] : header(record))
        out += label + ": " + value + "\n";
    for (const auto& block : blocks(segments))
        out += "\n" + blockHeading(block, name) + "\n" + block.text + "\n";
    return out;
}

std::string markdown(const TranscriptRecord& record, const std::vector<TranscriptSegment>& segments,
                     const SpeakerName& name) {
    std::string out = "# " + record.title() + "\n\n";
    auto pairs = header(record);
    for (size_t i = 1; i < pairs.size(); ++i)
        out += "**" + pairs[i].first + ":** " + pairs[i].second + "  \n";
    for (const auto& block : blocks(segments))
        out += "\n**" + blockHeading(block, name) + "** " + block.text + "\n";
    return out;
}

std::string srt(const std::vector<TranscriptSegment>& segments, const SpeakerName& name) {
    std::string out;
    int number = 0;
    for (const auto& segment : segments) {
        if (number > 0)
            out += "\n";
        double end = segment.end > segment.start + 0.5 ? segment.end : segment.start + 0.5;
        out += std::to_string(++number) + "\n";
        out += TranscriptFormat::srtTimestamp(segment.start) + " --> " +
               TranscriptFormat::srtTimestamp(end) + "\n";
        if (segment.speaker)
            out += TranscriptFormat::oneLine(name(*segment.speaker)) + ": ";
        out += segment.text + "\n";
    }
    return out;
}

std::string emptySessionText(const TranscriptRecord& record, bool soundReceived) {
    std::string message(soundReceived ? noWordsMessage : noSoundMessage);
    return text(record, {}, [](int) { return std::string(); }) + "\n" + message + "\n";
}

void write(std::string_view bytes, const fs::path& target) {
    writeFileAtomically(target, bytes);
}

bool isAppFile(std::string_view fileName) {
    static const std::regex pattern(
        R"((Zoom|Teams|Meet)_Meeting_\d{2}-\d{2}(_\d+)?(\.diagnostics)?\.(txt|md|srt|docx|pdf))");
    return std::regex_match(fileName.begin(), fileName.end(), pattern);
}

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

} // namespace

int trashOld(const fs::path& root, int olderThanDays, SystemTime now, const TrashOperation& trash) {
    // Past about 200 years the cutoff would overflow the clock and wrap into the future,
    // which would make every file look old.
    const SystemTime cutoff = now - std::chrono::seconds(86400LL * std::min(olderThanDays, 73000));
    const std::string rootText = standardised(root);

    int moved = 0;
    std::set<fs::path> touchedFolders;
    // Folders already walked, by device and inode: a bind mount inside the tree could
    // otherwise lead the walk in circles. Links are never followed at all.
    std::set<std::pair<dev_t, ino_t>> seen;
    std::vector<fs::path> pending{rootText};
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
            continue; // unreadable folders are passed over
        walkedRoot = true;

        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            const fs::path& item = it->path();
            struct stat st {};
            if (::lstat(item.c_str(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode)) {
                pending.push_back(item);
                continue;
            }
            if (!S_ISREG(st.st_mode) || !isAppFile(item.filename().string()))
                continue;
            SystemTime modified{std::chrono::duration_cast<SystemTime::duration>(
                std::chrono::seconds(st.st_mtim.tv_sec) +
                std::chrono::nanoseconds(st.st_mtim.tv_nsec))};
            if (!(modified < cutoff))
                continue;
            try {
                trash(item);
                ++moved;
                touchedFolders.insert(folder);
            } catch (const std::exception& e) {
                Log::error("Auto-delete failed for {}: {}", item.filename().string(), e.what());
            } catch (...) {
                Log::error("Auto-delete failed for {}: {}", item.filename().string(),
                           "unknown error");
            }
        }
    }
    if (!walkedRoot)
        return 0;

    for (const auto& folder : touchedFolders)
        removeEmptiedFolders(folder, rootText);

    if (moved > 0)
        Log::info("Moved {} old transcript files to the Trash", moved);
    return moved;
}

bool isCloudSynced(const fs::path& folder, const UbiquitousTest& ubiquitous) {
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(folder, ec);
    if (ec)
        resolved = folder;
    const std::string path = resolved.string();
    if (path.find("/Library/CloudStorage/") != std::string::npos ||
        path.find("/Library/Mobile Documents/") != std::string::npos)
        return true;
    // A sync folder that is itself a link (~/Dropbox -> /data/Dropbox) is known by its name.
    return ubiquitous(resolved) || (resolved != folder && ubiquitous(folder));
}

} // namespace tallyvox::TranscriptManager

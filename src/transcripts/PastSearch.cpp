#include "transcripts/PastSearch.h"

#include "base/SerialQueue.h"
#include "base/Unicode.h"
#include "base/Utf8.h"
#include "transcripts/TranscriptManager.h"
#include "transcripts/TranscriptReader.h"
#include "transcripts/TranscriptSearch.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utf8proc.h>

namespace tallyvox::PastSearch {

namespace fs = std::filesystem;

namespace {

bool isSpace(char32_t c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// The case folding of every character of the Basic Multilingual Plane as UTF-8, made once:
// text in other scripts then folds as fast as a table look-up. Beside it, what tells whether
// text is already in composed form (NFC), so that only text that is not pays for composing.
struct FoldTable {
    struct Entry {
        std::uint8_t length;
        bool expands; // folds into more than one character ("ß" -> "ss")
        // Composing may change it, or join it to the character before it ("e" + U+0301).
        bool composes;
        std::uint8_t combiningClass;
        char bytes[10];
    };
    std::vector<Entry> entries;
    std::vector<char32_t> composesAbove; // the same beyond the BMP, sorted
    FoldTable()
        : entries(0x10000) {
        std::string folded;
        for (char32_t c = 0x80; c < 0x10000; ++c) {
            folded.clear();
            const auto characters = Unicode::folded(c);
            for (char32_t f : characters)
                Utf8::append(f, folded);
            auto& entry = entries[c];
            entry.expands = characters.size() > 1;
            entry.length = static_cast<std::uint8_t>(std::min(folded.size(), sizeof entry.bytes));
            entry.combiningClass =
                utf8proc_get_property(static_cast<utf8proc_int32_t>(c))->combining_class;
            std::memcpy(entry.bytes, folded.data(), entry.length);
        }
        // A character that decomposes and does not compose back (U+212B ANGSTROM SIGN), and
        // every character but the first of a decomposition, which may join the one before
        // it. No character past plane 2 decomposes.
        std::vector<char32_t> above;
        auto mark = [&](char32_t c) {
            if (c < 0x10000)
                entries[c].composes = true;
            else
                above.push_back(c);
        };
        utf8proc_int32_t parts[32];
        for (char32_t c = 0xA0; c < 0x30000; ++c) {
            const auto n = utf8proc_decompose_char(static_cast<utf8proc_int32_t>(c), parts, 32,
                                                   UTF8PROC_DECOMPOSE, nullptr);
            if (n < 1 || n > 32 || (n == 1 && static_cast<char32_t>(parts[0]) == c))
                continue;
            for (utf8proc_ssize_t k = 1; k < n; ++k)
                mark(static_cast<char32_t>(parts[k]));
            const auto m = utf8proc_normalize_utf32(
                parts, n, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
            if (m != 1 || static_cast<char32_t>(parts[0]) != c)
                mark(c);
        }
        std::sort(above.begin(), above.end());
        above.erase(std::unique(above.begin(), above.end()), above.end());
        composesAbove = std::move(above);
    }
};

const FoldTable& foldTable() {
    static const FoldTable table;
    return table;
}

// Whether text that is not ASCII still reads the same in composed form. Unicode's quick
// check: no character that composing may change, and combining marks in canonical order.
class CompositionCheck {
public:
    void add(char32_t c, std::size_t at, std::size_t end) {
        if (!composed_)
            return;
        const auto& table = foldTable();
        bool composes;
        std::uint8_t combiningClass;
        if (c < 0x10000) {
            composes = table.entries[c].composes;
            combiningClass = table.entries[c].combiningClass;
        } else {
            composes =
                std::binary_search(table.composesAbove.begin(), table.composesAbove.end(), c);
            combiningClass =
                c > 0x10FFFF
                    ? 0
                    : static_cast<std::uint8_t>(
                          utf8proc_get_property(static_cast<utf8proc_int32_t>(c))->combining_class);
        }
        // An ASCII character between two others is a starter: the order starts again.
        if (at != lastEnd_)
            lastClass_ = 0;
        if (composes || (combiningClass != 0 && combiningClass < lastClass_))
            composed_ = false;
        lastClass_ = combiningClass;
        lastEnd_ = end;
    }
    bool composed() const { return composed_; }

private:
    bool composed_ = true;
    std::uint8_t lastClass_ = 0;
    std::size_t lastEnd_ = 0;
};

// Valid UTF-8 in composed form (NFC): "é" typed as "e" and a combining accent finds, and is
// found by, "é" typed as one character.
std::string composed(std::string_view text) {
    utf8proc_uint8_t* mapped = nullptr;
    const utf8proc_ssize_t n =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                     static_cast<utf8proc_ssize_t>(text.size()), &mapped,
                     static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(mapped, &std::free);
    if (n < 0)
        return std::string(text);
    return std::string(reinterpret_cast<const char*>(mapped), static_cast<std::size_t>(n));
}

std::string_view foldedCharacter(char32_t c, std::string& scratch) {
    const auto& table = foldTable();
    if (c < 0x10000) {
        const auto& entry = table.entries[c];
        return {entry.bytes, entry.length};
    }
    scratch.clear();
    for (char32_t f : Unicode::folded(c))
        Utf8::append(f, scratch);
    return scratch;
}

// Case-folds valid UTF-8 into `out`. Most transcript text is ASCII, which folds byte for byte,
// eight bytes at a time; only other characters go through the Unicode tables. Line feeds stay
// where they are, so the folded text splits into the same lines as the original. Returns
// false at the first broken sequence, leaving `out` unfinished. With `check`, also tells
// whether the text is in composed form.
bool foldInto(std::string_view text, std::string& out, CompositionCheck* check = nullptr) {
    constexpr std::uint64_t high = 0x8080808080808080ull;
    const std::size_t n = text.size();
    const char* from = text.data();
    out.resize(n + 16);
    std::size_t i = 0, o = 0;
    std::string scratch;
    while (i < n) {
        while (i + 8 <= n) {
            std::uint64_t x;
            std::memcpy(&x, from + i, 8);
            if (x & high)
                break;
            // Per byte (all below 0x80, so no carries): top bit of `a` set from 'A' up, of
            // `z` from '[' up; between them are the capitals, which gain 0x20.
            const std::uint64_t a = x + 0x3f3f3f3f3f3f3f3full;
            const std::uint64_t z = x + 0x2525252525252525ull;
            x |= ((a & ~z) & high) >> 2;
            std::memcpy(out.data() + o, &x, 8);
            i += 8;
            o += 8;
        }
        while (i < n && static_cast<unsigned char>(from[i]) < 0x80) {
            const auto c = static_cast<unsigned char>(from[i++]);
            out[o++] = static_cast<char>(c + (static_cast<unsigned>(c - 'A') < 26u ? 32 : 0));
            if ((i & 7) == 0)
                break; // back to eight at a time
        }
        if (i == n || static_cast<unsigned char>(from[i]) < 0x80)
            continue;
        const Utf8::Char c = Utf8::decode(text, i);
        if (!c.valid)
            return false;
        if (check)
            check->add(c.value, i, i + c.length);
        i += c.length;
        const std::string_view folded = foldedCharacter(c.value, scratch);
        // A character never folds to more than three, of at most four bytes each.
        if (out.size() < o + folded.size() + (n - i) + 16)
            out.resize(o + folded.size() + (n - i) + 16);
        std::memcpy(out.data() + o, folded.data(), folded.size());
        o += folded.size();
    }
    out.resize(o);
    return true;
}

// Whether some character of valid UTF-8 text folds into several: only then can a match of the
// folded bytes be a match of part of a character.
bool hasExpandingCharacter(std::string_view text) {
    const auto& table = foldTable();
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const auto c = Utf8::decode(text, i);
        i += c.length;
        if (c.value < 0x10000 ? table.entries[c.value].expands
                              : Unicode::folded(c.value).size() > 1)
            return true;
    }
    return false;
}

std::string foldedTerm(std::string_view term) {
    std::string out;
    foldInto(composed(Utf8::repaired(term)), out);
    return out;
}

// The terms as the text they are looked for in: valid and composed.
std::vector<std::string> composedTerms(const std::vector<std::string>& terms) {
    std::vector<std::string> out;
    for (const auto& term : terms)
        out.push_back(composed(Utf8::repaired(term)));
    return out;
}

// The text of a transcript file as it is searched: without a byte-order mark, broken
// sequences as U+FFFD, composed; and that text case-folded into `folded`. `repaired` and
// `composing` hold the text when it had to change.
std::string_view prepared(std::string_view bytes, std::string& repaired, std::string& composing,
                          std::string& folded) {
    std::string_view text = TranscriptReader::withoutByteOrderMark(bytes);
    CompositionCheck check;
    if (!foldInto(text, folded, &check)) {
        // Broken UTF-8 (a file cut short, or written by something else): read with each
        // broken sequence as U+FFFD, so hits are always valid text.
        repaired = Utf8::repaired(text);
        text = repaired;
        check = {};
        foldInto(text, folded, &check);
    }
    if (!check.composed()) {
        composing = composed(text);
        text = composing;
        foldInto(text, folded);
    }
    return text;
}

bool contains(std::string_view haystack, std::string_view needle) {
    if (needle.empty())
        return true;
    // An empty view may have no storage at all, and memmem must not be given a null pointer.
    if (haystack.size() < needle.size())
        return false;
    return ::memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr;
}

std::string_view withoutCarriageReturn(std::string_view line) {
    // A file saved again by an editor that ends lines with CR LF reads the same.
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

struct Turn {
    std::string_view time;
    std::string_view speaker;
    std::size_t speakerAt = 0; // byte offset of the speaker in the line
};

// "[00:12:40] Sam:" or "[00:00:04]": the header line of a block of the transcript text.
std::optional<Turn> turn(std::string_view line) {
    if (line.empty() || line.front() != '[')
        return std::nullopt;
    const auto close = line.find(']', 1);
    if (close == std::string_view::npos)
        return std::nullopt;
    const std::string_view time = line.substr(1, close - 1);
    int pieces = 0;
    std::size_t start = 0;
    while (true) {
        const auto colon = time.find(':', start);
        const auto piece =
            time.substr(start, colon == std::string_view::npos ? time.npos : colon - start);
        if (piece.size() < 2 ||
            !std::all_of(piece.begin(), piece.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        ++pieces;
        if (colon == std::string_view::npos)
            break;
        start = colon + 1;
    }
    if (pieces != 3)
        return std::nullopt;
    const std::string_view rest = line.substr(close + 1);
    if (rest.empty())
        return Turn{.time = time, .speaker = {}, .speakerAt = line.size()};
    if (rest.size() < 3 || rest.front() != ' ' || rest.back() != ':')
        return std::nullopt;
    return Turn{.time = time, .speaker = rest.substr(1, rest.size() - 2), .speakerAt = close + 2};
}

std::string fileStem(const fs::path& file) {
    return file.stem().string();
}

// The work of one file, given its text and that text case-folded line for line.
std::vector<PastHit> searchFolded(std::string_view text, std::string_view folded,
                                  const fs::path& file, const std::vector<std::string>& terms,
                                  const std::vector<std::string>& foldedTerms, int limit,
                                  const std::stop_token& stop) {
    std::vector<PastHit> hits;
    if (limit <= 0)
        return hits;
    // One scan rejects most files: a word that is nowhere in the text is in no turn.
    for (const auto& term : foldedTerms)
        if (!contains(folded, term))
            return hits;

    std::string meeting = fileStem(file), date;
    const std::string path = file.string();
    std::optional<Turn> current;
    std::string_view currentFoldedSpeaker;
    std::vector<std::string_view> lines, foldedLines;

    // The folded comparison may admit a match the exact rules refuse (part of a character
    // that folds into several), never the other way round; turns with such a character are
    // checked again by the exact rules.
    auto endTurn = [&] {
        if (!current)
            return;
        for (const auto& term : foldedTerms) {
            bool found = contains(currentFoldedSpeaker, term);
            for (std::size_t k = 0; !found && k < foldedLines.size(); ++k)
                found = contains(foldedLines[k], term);
            if (!found)
                return;
        }
        if (hasExpandingCharacter(current->speaker) ||
            std::any_of(lines.begin(), lines.end(), hasExpandingCharacter)) {
            // Terms hold no white space, so a term is in the turn when it is in the name or
            // in one of its lines.
            for (const auto& term : terms) {
                bool found = TranscriptSearch::hits(current->speaker, term) > 0;
                for (std::size_t k = 0; !found && k < lines.size(); ++k)
                    found = TranscriptSearch::hits(lines[k], term) > 0;
                if (!found)
                    return;
            }
        }
        std::string joined;
        for (auto line : lines) {
            if (!joined.empty())
                joined += ' ';
            joined += line;
        }
        std::string id = path;
        id += '#';
        id += std::to_string(hits.size());
        hits.push_back(PastHit{.id = std::move(id),
                               .file = file,
                               .meeting = meeting,
                               .date = date,
                               .time = std::string(current->time),
                               .speaker = std::string(current->speaker),
                               .text = std::move(joined)});
    };

    std::size_t at = 0, foldedAt = 0, lineCount = 0;
    while (at <= text.size()) {
        auto end = text.find('\n', at);
        auto foldedEnd = folded.find('\n', foldedAt);
        if (end == std::string_view::npos)
            end = text.size();
        if (foldedEnd == std::string_view::npos)
            foldedEnd = folded.size();
        const auto line = withoutCarriageReturn(text.substr(at, end - at));
        const auto foldedLine =
            withoutCarriageReturn(folded.substr(foldedAt, foldedEnd - foldedAt));
        at = end + 1;
        foldedAt = foldedEnd + 1;
        if ((++lineCount & 255) == 0 && stop.stop_requested())
            return hits;

        if (auto header = turn(line)) {
            endTurn();
            if (static_cast<int>(hits.size()) >= limit)
                return hits;
            current = header;
            // The bracketed time is ASCII, so the name starts at the same byte in both.
            currentFoldedSpeaker =
                header->speaker.empty()
                    ? std::string_view()
                    : foldedLine.substr(header->speakerAt,
                                        foldedLine.size() - header->speakerAt - 1);
            lines.clear();
            foldedLines.clear();
        } else if (!current) {
            if (line.starts_with("Meeting: "))
                meeting = line.substr(9);
            else if (line.starts_with("Date: "))
                date = line.substr(6);
        } else if (!line.empty()) {
            lines.push_back(line);
            foldedLines.push_back(foldedLine);
        }
    }
    endTurn();
    if (static_cast<int>(hits.size()) > limit)
        hits.resize(static_cast<std::size_t>(limit));
    return hits;
}

std::vector<std::string> foldedTerms(const std::vector<std::string>& terms) {
    std::vector<std::string> out;
    for (const auto& term : terms)
        out.push_back(foldedTerm(term));
    return out;
}

// The whole file in one read, or nothing: a file that is not a regular file when opened, that
// is over the size limit (also one that grew past it since it was listed) or that fails to
// read is skipped.
bool readFile(const fs::path& file, std::string& out) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
              static_cast<std::uintmax_t>(info.st_size) <= maxFileBytes;
    std::size_t total = 0;
    if (ok) {
        out.resize(static_cast<std::size_t>(info.st_size) + 1);
        while (ok) {
            if (total == out.size()) {
                if (out.size() > maxFileBytes) {
                    ok = false;
                    break;
                }
                out.resize(std::min<std::size_t>(out.size() * 2, maxFileBytes + 1));
            }
            const auto got = ::read(fd, out.data() + total, out.size() - total);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                ok = false;
            else if (got == 0)
                break;
            else
                total += static_cast<std::size_t>(got);
        }
    }
    ::close(fd);
    if (!ok || total > maxFileBytes)
        return false;
    out.resize(total);
    return true;
}

// What one reader thread keeps between files, so that each file costs no new allocation.
struct Buffers {
    std::string bytes;
    std::string repaired;
    std::string composed;
    std::string folded;
};

std::vector<PastHit> searchFile(const fs::path& file, const std::vector<std::string>& terms,
                                const std::vector<std::string>& folded, int limit,
                                const std::stop_token& stop, Buffers& buffers) {
    if (!readFile(file, buffers.bytes))
        return {};
    const std::string_view text =
        prepared(buffers.bytes, buffers.repaired, buffers.composed, buffers.folded);
    return searchFolded(text, buffers.folded, file, terms, folded, limit, stop);
}

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

std::vector<std::string> terms(std::string_view query) {
    std::vector<std::string> out;
    std::string piece;
    for (std::size_t i = 0; i < query.size();) {
        const auto c = Utf8::decode(query, i);
        if (c.valid && isSpace(c.value)) {
            if (!piece.empty())
                out.push_back(std::move(piece));
            piece.clear();
        } else {
            piece.append(query.substr(i, c.length));
        }
        i += c.length;
    }
    if (!piece.empty())
        out.push_back(std::move(piece));
    return out;
}

std::string summary(std::size_t hitCount) {
    if (hitCount == 0)
        return {};
    if (hitCount >= static_cast<std::size_t>(maxHits))
        return "First " + std::to_string(hitCount) + " matches";
    return std::to_string(hitCount) + (hitCount == 1 ? " match" : " matches");
}

std::vector<PastHit> search(std::string_view text, const fs::path& file,
                            const std::vector<std::string>& terms, int limit,
                            std::stop_token stop) {
    std::string repaired, composing, folded;
    const std::string_view searched = prepared(text, repaired, composing, folded);
    const auto words = composedTerms(terms);
    return searchFolded(searched, folded, file, words, foldedTerms(words), limit, stop);
}

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

std::vector<PastHit> run(const fs::path& root, std::string_view query, std::stop_token stop,
                         int threads) {
    const auto words = composedTerms(terms(Utf8::repaired(query)));
    if (words.empty() || stop.stop_requested())
        return {};
    const auto folded = foldedTerms(words);
    const auto files = transcriptFiles(root);
    const std::size_t n = files.size();

    // Files are handed out newest first; the result is the hits of the newest files in
    // order, so once the files finished without a gap before them hold enough hits, no
    // further file is started.
    struct Slot {
        std::vector<PastHit> hits;
        bool done = false;
    };
    std::vector<Slot> slots(n);
    std::mutex mutex;
    std::size_t next = 0, finished = 0, finishedHits = 0;
    bool enough = false;
    auto work = [&] {
        Buffers buffers;
        while (true) {
            std::size_t index;
            {
                std::lock_guard lock(mutex);
                if (enough || next >= n || stop.stop_requested())
                    return;
                index = next++;
            }
            auto hits = searchFile(files[index], words, folded, maxHits, stop, buffers);
            std::lock_guard lock(mutex);
            slots[index].hits = std::move(hits);
            slots[index].done = true;
            while (finished < n && slots[finished].done)
                finishedHits += slots[finished++].hits.size();
            if (finishedHits >= static_cast<std::size_t>(maxHits))
                enough = true;
        }
    };
    std::vector<std::jthread> helpers;
    const int extra = std::min<int>(std::max(threads, 1), static_cast<int>(n)) - 1;
    for (int i = 0; i < extra; ++i)
        helpers.emplace_back(work);
    work();
    helpers.clear();

    std::vector<PastHit> out;
    for (std::size_t i = 0; i < finished && out.size() < static_cast<std::size_t>(maxHits); ++i)
        for (auto& hit : slots[i].hits) {
            if (out.size() == static_cast<std::size_t>(maxHits))
                break;
            out.push_back(std::move(hit));
        }
    return out;
}

// Everything the worker's tasks and the deliveries share: they may outlive the Searcher.
struct Searcher::State {
    explicit State(Executor& m)
        : main(m) {}
    Executor& main;
    // Held while a finished search hands over its hits and while one is cancelled, so that
    // nothing is posted to `main` once cancel() has returned.
    std::mutex mutex;
    std::stop_source stopper;
    // Main thread only: which search may still deliver.
    std::uint64_t generation = 0;
    bool running = false;
};

Searcher::Searcher(Executor& deliverOn)
    : state_(std::make_shared<State>(deliverOn))
    , queue_(std::make_unique<SerialQueue>("com.tallyvox.past-search")) {}

Searcher::~Searcher() {
    cancel();
    queue_.reset(); // waits for a running search, which stops before its next file
}

void Searcher::cancel() {
    std::lock_guard lock(state_->mutex);
    ++state_->generation;
    state_->stopper.request_stop();
    state_->running = false;
}

bool Searcher::isRunning() const {
    return state_->running;
}

void Searcher::start(fs::path root, std::string query, Done done) {
    cancel();
    std::stop_token stop;
    {
        std::lock_guard lock(state_->mutex);
        state_->stopper = std::stop_source();
        stop = state_->stopper.get_token();
        state_->running = true;
    }
    queue_->post([state = state_, generation = state_->generation, stop, root = std::move(root),
                  query = std::move(query), done = std::move(done)]() mutable {
        if (stop.stop_requested())
            return;
        auto hits = run(root, query, stop);
        std::lock_guard lock(state->mutex);
        if (stop.stop_requested())
            return;
        state->main.post(
            [state, generation, hits = std::move(hits), done = std::move(done)]() mutable {
                // A search started or cancelled since then owns the results now.
                if (state->generation != generation)
                    return;
                state->running = false;
                done(std::move(hits));
            });
    });
}

} // namespace tallyvox::PastSearch

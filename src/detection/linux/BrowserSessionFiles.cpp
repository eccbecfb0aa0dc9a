#include "detection/linux/BrowserSessionFiles.h"

#include "detection/linux/BrowserSessionFormats.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyvox {

namespace fs = std::filesystem;

namespace {

struct Candidate {
    fs::path file;
    fs::file_time_type written;
};

void consider(const fs::path& file, std::optional<Candidate>& newest) {
    std::error_code error;
    if (!fs::is_regular_file(file, error))
        return;
    auto written = fs::last_write_time(file, error);
    if (!error && (!newest || written > newest->written))
        newest = Candidate{file, written};
}

// Reads the whole file, refusing one that is too large before reading it.
std::string readBounded(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        throw BrowserSessionFormats::SessionFileUnreadable(
            std::string("the session file cannot be opened: ") + std::strerror(errno));
    struct stat facts = {};
    std::string bytes;
    if (::fstat(fd, &facts) == 0 &&
        static_cast<std::uint64_t>(facts.st_size) > BrowserSessionFormats::maxFileBytes) {
        ::close(fd);
        throw BrowserSessionFormats::SessionFileUnreadable("the session file is too large");
    }
    char buffer[1 << 16];
    for (;;) {
        const auto n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int why = errno;
            ::close(fd);
            throw BrowserSessionFormats::SessionFileUnreadable(
                std::string("the session file cannot be read: ") + std::strerror(why));
        }
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        // It may grow while we read it.
        if (bytes.size() > BrowserSessionFormats::maxFileBytes) {
            ::close(fd);
            throw BrowserSessionFormats::SessionFileUnreadable("the session file is too large");
        }
    }
    ::close(fd);
    return bytes;
}

} // namespace

BrowserSessionFiles::BrowserSessionFiles(fs::path home)
    : home_(std::move(home)) {}

fs::path BrowserSessionFiles::userHome() {
    const char* home = std::getenv("HOME");
    return home && *home ? fs::path(home) : fs::path();
}

BrowserSessionFiles::Found BrowserSessionFiles::newestSessionFile(const Browser& browser,
                                                                  const fs::path& home) {
    Found found;
    std::optional<Candidate> newest;
    for (const auto& root : browser.profileRoots) {
        const fs::path folder = home / root;
        std::error_code error;
        if (!fs::exists(folder, error))
            continue;
        fs::directory_iterator profiles(folder, error);
        if (error) {
            found.problem = "its profile folder " + folder.string() + " cannot be read (" +
                            error.message() + ")";
            continue;
        }
        for (const auto& profile : profiles) {
            std::error_code inner;
            if (!profile.is_directory(inner))
                continue;
            if (browser.family == BrowserFamily::firefox) {
                consider(profile.path() / "sessionstore-backups" / "recovery.jsonlz4", newest);
                continue;
            }
            // Session_* is the live session; Tabs_* only lists recently closed tabs.
            fs::directory_iterator sessions(profile.path() / "Sessions", inner);
            if (inner) {
                if (inner != std::errc::no_such_file_or_directory)
                    found.problem = "its session folder in " + profile.path().string() +
                                    " cannot be read (" + inner.message() + ")";
                continue;
            }
            for (const auto& file : sessions)
                if (file.path().filename().string().starts_with("Session_"))
                    consider(file.path(), newest);
        }
    }
    if (newest)
        found.file = newest->file;
    return found;
}

BrowserTabs::Read BrowserSessionFiles::read(const Browser& browser, std::int32_t) {
    auto found = newestSessionFile(browser, home_);
    if (!found.file)
        return {{}, found.problem.value_or("no session file was found in its profile folders")};
    try {
        const auto bytes = readBounded(*found.file);
        if (browser.family == BrowserFamily::firefox)
            return {BrowserSessionFormats::firefoxOpenTabs(
                        BrowserSessionFormats::mozLz4Decompress(bytes)),
                    std::nullopt};
        return {BrowserSessionFormats::chromiumOpenTabs(bytes), std::nullopt};
    } catch (const BrowserSessionFormats::SessionFileUnreadable& error) {
        return {{}, std::string(error.what())};
    }
}

} // namespace tallyvox

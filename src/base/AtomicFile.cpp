#include "base/AtomicFile.h"

#include "base/BoundedRead.h"
#include "base/Error.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyvox {

namespace {

class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask)
        : old_(::umask(mask)) {}
    ~UmaskGuard() { ::umask(old_); }
    UmaskGuard(const UmaskGuard&) = delete;
    UmaskGuard& operator=(const UmaskGuard&) = delete;

private:
    mode_t old_;
};

void createFolders(const std::filesystem::path& folder) {
    if (folder.empty())
        return;
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            throw FileError(folder.string(), ENOTDIR);
        return;
    }
    if (errno != ENOENT)
        throw FileError(folder.string(), errno);
    createFolders(folder.parent_path());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        throw FileError(folder.string(), errno);
}

void writeAll(int fd, std::string_view bytes, const std::string& path) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw FileError(path, errno);
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

// The rename lives in the folder: without this a power loss can bring back the old file,
// or no file at all for a new one. A folder that cannot be synced changes nothing written.
void syncFolder(const std::filesystem::path& folder) {
    int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

void writeFileAtomically(const std::filesystem::path& target, std::string_view bytes) {
    UmaskGuard mask(077);
    createFolders(target.parent_path());

    std::string hidden = ".";
    hidden.append(target.filename().string()).append(".XXXXXX");
    std::string temp = (target.parent_path() / hidden).string();
    int fd = ::mkstemp(temp.data());
    if (fd < 0)
        throw FileError(target.string(), errno);
    try {
        writeAll(fd, bytes, target.string());
        if (::fchmod(fd, 0600) != 0 || ::fsync(fd) != 0)
            throw FileError(target.string(), errno);
        if (::close(fd) != 0) {
            fd = -1;
            throw FileError(target.string(), errno);
        }
        fd = -1;
        if (::rename(temp.c_str(), target.c_str()) != 0)
            throw FileError(target.string(), errno);
    } catch (...) {
        if (fd >= 0)
            ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
    syncFolder(target.parent_path());
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path, std::uint64_t limit) {
    return tryReadFileBounded(path, limit);
}

} // namespace tallyvox

#include "base/BoundedRead.h"

#include "base/FileDescriptor.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyvox {

UnreadableFile::UnreadableFile(const std::filesystem::path& path, std::string reason)
    : Error(path.string() + " " + reason)
    , reason_(std::move(reason)) {}

UnreadableFile tooLargeFile(const std::filesystem::path& path, std::uint64_t limit) {
    UnreadableFile error(path, "is larger than " + sizeInWords(limit));
    error.tooLarge_ = true;
    return error;
}

UnreadableFile missingFile(const std::filesystem::path& path, int errorNumber) {
    UnreadableFile error(path, std::string("cannot be opened: ") + std::strerror(errorNumber));
    error.missing_ = errorNumber == ENOENT || errorNumber == ENOTDIR;
    return error;
}

std::string sizeInWords(std::uint64_t bytes) {
    constexpr std::uint64_t kib = 1024, mib = kib * 1024, gib = mib * 1024;
    if (bytes >= gib && bytes % gib == 0)
        return std::to_string(bytes / gib) + " GB";
    if (bytes >= mib && bytes % mib == 0)
        return std::to_string(bytes / mib) + " MB";
    if (bytes >= kib && bytes % kib == 0)
        return std::to_string(bytes / kib) + " KB";
    return std::to_string(bytes) + " bytes";
}

std::string readFileBounded(const std::filesystem::path& path, std::uint64_t limit, Links links) {
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (links == Links::refuse)
        flags |= O_NOFOLLOW;
    FileDescriptor fd(::open(path.c_str(), flags));
    if (fd.get() < 0) {
        if (errno == ELOOP && links == Links::refuse)
            throw UnreadableFile(path, "is a symbolic link");
        throw missingFile(path, errno);
    }
    struct stat facts = {};
    if (::fstat(fd.get(), &facts) != 0)
        throw UnreadableFile(path, std::string("cannot be read: ") + std::strerror(errno));
    if (!S_ISREG(facts.st_mode))
        throw UnreadableFile(path,
                             S_ISDIR(facts.st_mode) ? "is a folder" : "is not a regular file");
    // Files of /proc and /sys say 0 here and are bounded by the loop below instead.
    if (static_cast<std::uint64_t>(facts.st_size) > limit)
        throw tooLargeFile(path, limit);

    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(facts.st_size));
    std::array<char, 1 << 16> buffer{};
    for (;;) {
        const auto n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            throw UnreadableFile(path, std::string("cannot be read: ") + std::strerror(errno));
        if (n == 0)
            return bytes;
        if (bytes.size() + static_cast<std::size_t>(n) > limit)
            throw tooLargeFile(path, limit);
        bytes.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

std::optional<std::string> tryReadFileBounded(const std::filesystem::path& path,
                                              std::uint64_t limit, Links links) {
    try {
        return readFileBounded(path, limit, links);
    } catch (const UnreadableFile&) {
        return std::nullopt;
    }
}

} // namespace tallyvox

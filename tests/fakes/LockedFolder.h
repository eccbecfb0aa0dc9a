#pragma once

#include <fcntl.h>
#include <filesystem>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tallyvox::testing {

// A folder in which nothing new can be created for as long as this lives, even by root (the
// tests run as root in CI): the immutable attribute, or the folder's mode for other users.
// `active()` is false where neither is possible; such a test skips.
class LockedFolder {
public:
    explicit LockedFolder(std::filesystem::path folder)
        : folder_(std::move(folder)) {
        if (::geteuid() != 0) {
            std::error_code ec;
            std::filesystem::permissions(
                folder_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec,
                ec);
            mode_ = !ec;
            return;
        }
        int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return;
        int flags = 0;
        if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            immutable_ = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
    }
    ~LockedFolder() {
        if (mode_) {
            std::error_code ec;
            std::filesystem::permissions(folder_, std::filesystem::perms::owner_all, ec);
        }
        if (!immutable_)
            return;
        int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int flags = 0;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        if (fd >= 0)
            ::close(fd);
    }
    LockedFolder(const LockedFolder&) = delete;
    LockedFolder& operator=(const LockedFolder&) = delete;

    bool active() const { return mode_ || immutable_; }

private:
    std::filesystem::path folder_;
    bool mode_ = false;
    bool immutable_ = false;
};

} // namespace tallyvox::testing

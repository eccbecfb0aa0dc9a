#include "detection/linux/SocketConnections.h"

#include "base/FileDescriptor.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tallyvox {

namespace {

// A desktop has a few thousand Unix sockets; a list far past that is not read to its end.
constexpr std::size_t maxSockets = 1'000'000;
// Nor is a process holding more open files than this looked through.
constexpr int maxDescriptors = 65'536;

// "socket:[12345]" as the inode, from a /proc/PID/fd link.
std::optional<std::uint64_t> socketInode(std::string_view link) {
    constexpr std::string_view prefix = "socket:[";
    if (link.substr(0, prefix.size()) != prefix || link.back() != ']')
        return std::nullopt;
    std::uint64_t inode = 0;
    for (char c : link.substr(prefix.size(), link.size() - prefix.size() - 1)) {
        if (c < '0' || c > '9')
            return std::nullopt;
        inode = inode * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return inode;
}

} // namespace

SocketConnections::SocketConnections(std::map<std::uint64_t, std::uint64_t> peers,
                                     std::map<std::uint64_t, std::string> names)
    : peers_(std::move(peers))
    , names_(std::move(names)) {}

std::optional<SocketConnections> SocketConnections::read() {
    FileDescriptor fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (fd.get() < 0)
        return std::nullopt;
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } ask = {};
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    ask.request.sdiag_family = AF_UNIX;
    ask.request.udiag_states = ~0u;
    ask.request.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_PEER;
    sockaddr_nl kernel = {};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd.get(), &ask, sizeof ask, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0)
        return std::nullopt;
    // Nothing here waits forever: the kernel answers at once or not at all.
    timeval patience{.tv_sec = 2, .tv_usec = 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);

    std::map<std::uint64_t, std::uint64_t> peers;
    std::map<std::uint64_t, std::string> names;
    std::size_t sockets = 0;
    alignas(nlmsghdr) std::array<char, 32768> buffer{};
    for (;;) {
        const auto got = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return std::nullopt;
        auto left = static_cast<int>(got);
        for (auto* message = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(message, left);
             message = NLMSG_NEXT(message, left)) {
            if (message->nlmsg_type == NLMSG_DONE)
                return SocketConnections(std::move(peers), std::move(names));
            if (message->nlmsg_type == NLMSG_ERROR ||
                message->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg)) || ++sockets > maxSockets)
                return std::nullopt;
            const auto* socket = static_cast<const unix_diag_msg*>(NLMSG_DATA(message));
            auto attributesLeft =
                static_cast<int>(message->nlmsg_len - NLMSG_LENGTH(sizeof(unix_diag_msg)));
            for (auto* attribute =
                     reinterpret_cast<rtattr*>(const_cast<unix_diag_msg*>(socket) + 1);
                 RTA_OK(attribute, attributesLeft);
                 attribute = RTA_NEXT(attribute, attributesLeft)) {
                const auto length = RTA_PAYLOAD(attribute);
                if (attribute->rta_type == UNIX_DIAG_PEER && length >= sizeof(std::uint32_t)) {
                    std::uint32_t peer = 0;
                    std::memcpy(&peer, RTA_DATA(attribute), sizeof peer);
                    peers[socket->udiag_ino] = peer;
                } else if (attribute->rta_type == UNIX_DIAG_NAME && length > 0) {
                    // A path comes with its terminating NUL; abstract names start with a NUL
                    // and are no server we look for.
                    const std::string_view name(static_cast<const char*>(RTA_DATA(attribute)),
                                                length);
                    names[socket->udiag_ino] = name.substr(0, name.find('\0'));
                }
            }
        }
    }
}

std::optional<int> SocketConnections::count(std::int32_t pid, std::string_view path,
                                            const std::string& procRoot) const {
    const std::string folder = procRoot + "/" + std::to_string(pid) + "/fd";
    DIR* open = ::opendir(folder.c_str());
    if (!open)
        return std::nullopt;
    int connections = 0, seen = 0;
    std::array<char, 64> link{};
    while (const dirent* entry = ::readdir(open)) {
        if (entry->d_name[0] == '.')
            continue;
        if (++seen > maxDescriptors)
            break;
        const auto length =
            ::readlinkat(::dirfd(open), entry->d_name, link.data(), link.size() - 1);
        if (length <= 0)
            continue;
        const auto inode =
            socketInode(std::string_view(link.data(), static_cast<std::size_t>(length)));
        if (!inode)
            continue;
        const auto peer = peers_.find(*inode);
        if (peer == peers_.end())
            continue;
        // The server's end of an accepted connection carries its listener's name.
        const auto name = names_.find(peer->second);
        if (name != names_.end() && name->second == path)
            ++connections;
    }
    ::closedir(open);
    return connections;
}

std::optional<std::string> SocketConnections::serverSocketPath(std::string_view server) {
    if (!server.empty() && server.front() == '{') {
        const auto close = server.find('}');
        if (close == std::string_view::npos)
            return std::nullopt;
        server.remove_prefix(close + 1);
    }
    constexpr std::string_view unix = "unix:";
    if (server.substr(0, unix.size()) == unix)
        server.remove_prefix(unix.size());
    if (server.empty() || server.front() != '/')
        return std::nullopt;
    return std::string(server);
}

} // namespace tallyvox

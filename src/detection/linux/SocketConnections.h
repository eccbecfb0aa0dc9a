#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tallyvox {

// Which processes really hold a connection to a Unix socket, from the kernel's own records
// (sock_diag) rather than from anything a client says of itself. A PulseAudio-protocol client
// names its own process id; where the server checks nothing, this is what tells a process
// that talks to the server from one that is only named by a client that does.
class SocketConnections {
public:
    // Every Unix socket of the system as the kernel lists it now; nothing when the kernel
    // does not answer (no sock_diag, or a sandbox that forbids netlink).
    static std::optional<SocketConnections> read();

    // From records already read (tests): socket inode → the inode of its peer, and the
    // name of each bound socket (an accepted connection carries its listener's name).
    SocketConnections(std::map<std::uint64_t, std::uint64_t> peers,
                      std::map<std::uint64_t, std::string> names);

    // How many of `pid`'s open sockets are connected to a socket named `path`; nothing when
    // its open files cannot be read (gone, or another user's).
    std::optional<int> count(std::int32_t pid, std::string_view path,
                             const std::string& procRoot = "/proc") const;

    // The socket path of a libpulse server string: "unix:/run/user/1000/pulse/native",
    // "/run/…", or either after a "{machine id}"; nothing for a TCP server.
    static std::optional<std::string> serverSocketPath(std::string_view server);

private:
    std::map<std::uint64_t, std::uint64_t> peers_;
    std::map<std::uint64_t, std::string> names_;
};

} // namespace tallyvox

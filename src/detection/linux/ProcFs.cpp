#include "detection/linux/ProcFs.h"

#include "base/Log.h"
#include "detection/AppGenuineness.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tallyvox {

namespace {

std::optional<std::string> readSmallFile(const std::string& path, size_t limit = 1 << 16) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    char buffer[4096];
    while (text.size() < limit) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return text;
}

ProcessInfo::FileFacts factsOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint32_t>(st.st_uid), static_cast<std::uint32_t>(st.st_mode)};
}

} // namespace

ProcFs::ProcFs(std::string procRoot)
    : procRoot_(std::move(procRoot)) {}

std::string ProcFs::pidPath(std::int32_t pid, const char* leaf) const {
    return procRoot_ + "/" + std::to_string(pid) + "/" + leaf;
}

std::optional<std::vector<std::string>> ProcFs::statFields(std::string_view stat) {
    // The command name may hold spaces and parentheses; it ends at the last ')'.
    auto close = stat.rfind(')');
    if (close == std::string_view::npos)
        return std::nullopt;
    std::vector<std::string> fields;
    auto rest = stat.substr(close + 1);
    size_t at = 0;
    while (at < rest.size()) {
        auto start = rest.find_first_not_of(" \n", at);
        if (start == std::string_view::npos)
            break;
        auto end = rest.find_first_of(" \n", start);
        fields.emplace_back(rest.substr(start, end - start));
        at = end == std::string_view::npos ? rest.size() : end;
    }
    if (fields.size() < 20)
        return std::nullopt;
    return fields;
}

std::optional<std::vector<std::string>> ProcFs::stat(std::int32_t pid) const {
    if (pid <= 0)
        return std::nullopt;
    auto text = readSmallFile(pidPath(pid, "stat"));
    if (!text)
        return std::nullopt;
    return statFields(*text);
}

bool ProcFs::isAlive(std::int32_t pid) {
    if (pid <= 0)
        return false;
    if (::kill(pid, 0) != 0 && errno != EPERM)
        return false;
    // An exited process that nobody has reaped yet still answers kill().
    auto fields = stat(pid);
    return !fields || ((*fields)[0] != "Z" && (*fields)[0] != "X");
}

std::optional<std::int32_t> ProcFs::parent(std::int32_t pid) {
    auto fields = stat(pid);
    if (!fields)
        return std::nullopt;
    try {
        return static_cast<std::int32_t>(std::stol((*fields)[1]));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::uint64_t> ProcFs::startTime(std::int32_t pid) {
    auto fields = stat(pid);
    if (!fields)
        return std::nullopt;
    try {
        return std::stoull((*fields)[19]); // field 22 of the whole line
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::int64_t> ProcFs::bootTimeLine(std::string_view stat) {
    static constexpr std::string_view key = "btime ";
    size_t at = 0;
    while (at < stat.size()) {
        auto end = stat.find('\n', at);
        auto line =
            stat.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        if (line.starts_with(key)) {
            std::string digits(line.substr(key.size()));
            char* stop = nullptr;
            errno = 0;
            long long seconds = std::strtoll(digits.c_str(), &stop, 10);
            if (stop == digits.c_str() || errno != 0 || seconds <= 0)
                return std::nullopt;
            return static_cast<std::int64_t>(seconds);
        }
        if (end == std::string_view::npos)
            break;
        at = end + 1;
    }
    return std::nullopt;
}

std::optional<std::chrono::system_clock::time_point> ProcFs::startedAt(std::int32_t pid) {
    auto ticks = startTime(pid);
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    if (!ticks || ticksPerSecond <= 0)
        return std::nullopt;
    // The interrupt counts come before btime and grow with the machine, so allow for a long file.
    auto text = readSmallFile(procRoot_ + "/stat", 4 << 20);
    auto booted = text ? bootTimeLine(*text) : std::nullopt;
    if (!booted)
        return std::nullopt;
    using namespace std::chrono;
    const auto afterBoot = milliseconds(
        static_cast<std::int64_t>(*ticks / static_cast<std::uint64_t>(ticksPerSecond) * 1000 +
                                  *ticks % static_cast<std::uint64_t>(ticksPerSecond) * 1000 /
                                      static_cast<std::uint64_t>(ticksPerSecond)));
    return system_clock::time_point(duration_cast<system_clock::duration>(seconds(*booted))) +
           duration_cast<system_clock::duration>(afterBoot);
}

std::optional<std::string> ProcFs::executable(std::int32_t pid) {
    if (pid <= 0)
        return std::nullopt;
    char target[4096];
    ssize_t n = ::readlink(pidPath(pid, "exe").c_str(), target, sizeof target);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof target)
        return std::nullopt;
    return std::string(target, static_cast<size_t>(n));
}

std::optional<ProcessInfo::FileFacts> ProcFs::executableFile(std::int32_t pid) {
    struct stat st {};
    if (pid <= 0 || ::stat(pidPath(pid, "exe").c_str(), &st) != 0)
        return std::nullopt;
    return factsOf(st);
}

std::optional<ProcessInfo::FileFacts> ProcFs::fileFacts(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return std::nullopt;
    return factsOf(st);
}

std::optional<std::string> ProcFs::cgroup(std::int32_t pid) {
    return pid > 0 ? readSmallFile(pidPath(pid, "cgroup")) : std::nullopt;
}

std::optional<std::string> ProcFs::flatpakInfo(std::int32_t pid) {
    return pid > 0 ? readSmallFile(pidPath(pid, "root/.flatpak-info")) : std::nullopt;
}

std::vector<std::int32_t> ProcFs::processIds() {
    std::vector<std::int32_t> pids;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(procRoot_.c_str()), &::closedir);
    if (!dir)
        return pids;
    while (auto* entry = ::readdir(dir.get())) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (*entry->d_name && *end == '\0' && pid > 0 && pid <= INT32_MAX)
            pids.push_back(static_cast<std::int32_t>(pid));
    }
    return pids;
}

std::vector<std::int32_t> ProcFs::nsPidLine(std::string_view status) {
    static constexpr std::string_view key = "\nNSpid:";
    std::vector<std::int32_t> pids;
    auto at = status.find(key);
    if (at == std::string_view::npos)
        return pids;
    auto line = status.substr(at + key.size());
    line = line.substr(0, line.find('\n'));
    std::string text(line);
    const char* cursor = text.c_str();
    while (true) {
        char* end = nullptr;
        long pid = std::strtol(cursor, &end, 10);
        if (end == cursor || pid <= 0 || pid > INT32_MAX)
            break;
        pids.push_back(static_cast<std::int32_t>(pid));
        cursor = end;
    }
    return pids;
}

std::vector<std::int32_t> ProcFs::namespacePids(std::int32_t pid) {
    if (pid <= 0)
        return {};
    auto status = readSmallFile(pidPath(pid, "status"));
    return status ? nsPidLine(*status) : std::vector<std::int32_t>{};
}

std::optional<std::uint32_t> ProcFs::uidLine(std::string_view status) {
    static constexpr std::string_view key = "\nUid:";
    auto at = status.find(key);
    if (at == std::string_view::npos)
        return std::nullopt;
    auto line = status.substr(at + key.size());
    line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
    std::uint32_t uid = 0;
    auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), uid);
    if (error != std::errc() || end == line.data())
        return std::nullopt;
    return uid;
}

std::optional<std::uint32_t> ProcFs::userId(std::int32_t pid) {
    if (pid <= 0)
        return std::nullopt;
    auto status = readSmallFile(pidPath(pid, "status"));
    return status ? uidLine(*status) : std::nullopt;
}

std::optional<std::vector<std::string>> ProcFs::owningPackages(const std::string& path) {
    auto output = runDpkgSearch(path);
    if (!output)
        return std::nullopt;
    auto owners = AppGenuineness::dpkgOwners(*output);
    // With a merged /usr the package database may know the file as /bin/x, not /usr/bin/x.
    if (owners.empty() && path.starts_with("/usr/")) {
        std::string alias = path.substr(4);
        struct stat a {
        }, b{};
        if (::stat(alias.c_str(), &a) == 0 && ::stat(path.c_str(), &b) == 0 &&
            a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
            auto again = runDpkgSearch(alias);
            if (!again)
                return std::nullopt;
            owners = AppGenuineness::dpkgOwners(*again);
        }
    }
    return owners;
}

std::optional<std::string> ProcFs::runDpkgSearch(const std::string& path, double timeoutSeconds) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        Log::error("dpkg-query --search failed: {}", std::strerror(errno));
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

    // The path is one argument of its own: no shell ever reads it. Neither PATH nor DPKG_*
    // variables of ours may choose what answers, so the program is named in full and its
    // environment is fixed.
    std::string program = "/usr/bin/dpkg-query", option = "--search", argument = path;
    char* argv[] = {program.data(), option.data(), argument.data(), nullptr};
    std::string pathVariable = "PATH=/usr/sbin:/usr/bin:/sbin:/bin", locale = "LC_ALL=C";
    char* environment[] = {pathVariable.data(), locale.data(), nullptr};
    pid_t child = 0;
    int spawned = ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environment);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        Log::error("dpkg-query --search failed: {}", std::strerror(spawned));
        return std::nullopt;
    }

    std::string output;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    bool timedOut = false;
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            timedOut = ready == 0;
            break;
        }
        char buffer[4096];
        ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (output.size() < (1 << 20))
            output.append(buffer, static_cast<size_t>(n));
    }
    ::close(out[0]);
    if (timedOut) {
        ::kill(child, SIGKILL);
        Log::error("dpkg-query --search {} took too long", path);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut)
        return std::nullopt;
    // 1 is its answer for a path that no package owns; anything else is a failure.
    if (WIFEXITED(status) && WEXITSTATUS(status) == 1)
        return std::string();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        Log::error("dpkg-query --search {} failed with status {}", path,
                   WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        return std::nullopt;
    }
    return output;
}

} // namespace tallyvox

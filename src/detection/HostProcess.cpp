#include "detection/HostProcess.h"

namespace tallyvox::HostProcess {

namespace {

// The client names its binary by the last part of its /proc/self/exe.
bool runs(std::int32_t pid, std::string_view binary, ProcessInfo& info) {
    auto exe = info.executable(pid);
    if (!exe)
        return false;
    std::string_view path = *exe;
    if (path.ends_with(" (deleted)"))
        path.remove_suffix(std::string_view(" (deleted)").size());
    return path.substr(path.find_last_of('/') + 1) == binary;
}

} // namespace

std::optional<std::int32_t> find(std::int32_t reported, std::string_view binary,
                                 ProcessInfo& info) {
    if (reported <= 0 || binary.empty())
        return std::nullopt;
    if (runs(reported, binary, info) && info.namespacePids(reported).size() <= 1)
        return reported;
    std::optional<std::int32_t> found;
    for (std::int32_t pid : info.processIds()) {
        auto ids = info.namespacePids(pid);
        if (ids.size() < 2 || ids.back() != reported || !runs(pid, binary, info))
            continue;
        if (found)
            return std::nullopt; // two sandboxes alike: no telling which one spoke
        found = pid;
    }
    return found;
}

} // namespace tallyvox::HostProcess

#pragma once

#include "detection/ProcessInfo.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace tallyvox::HostProcess {

// A sound-server client says which process it is, as it sees itself: inside a sandbox with a
// pid namespace of its own (a flatpak) that is the pid there, often 1 or 2, which names some
// other process here. Answers the process in our own view that ran `binary` under pid
// `reported` in its innermost namespace: `reported` itself when that runs `binary`, else the
// one process nested in another namespace that does. Nothing when none or several do.
std::optional<std::int32_t> find(std::int32_t reported, std::string_view binary, ProcessInfo& info);

} // namespace tallyvox::HostProcess

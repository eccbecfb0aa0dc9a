#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tallyvox {

// The one way files are written for the user: owner-only folders (0700) and file (0600),
// written to a temporary file beside the target and renamed over it, so a reader sees the
// old file or the new one, never half of one. Throws FileError with the system's reason;
// on failure the previous file is untouched and no temporary file is left behind.
void writeFileAtomically(const std::filesystem::path& target, std::string_view bytes);

// The whole file, or nothing when it cannot be read or is larger than `limit` (see
// BoundedRead.h: a FIFO, device or endless file at the path is refused, not waited on).
inline constexpr std::uint64_t defaultReadLimit = 64ull << 20;
std::optional<std::string> readWholeFile(const std::filesystem::path& path,
                                         std::uint64_t limit = defaultReadLimit);

} // namespace tallyvox

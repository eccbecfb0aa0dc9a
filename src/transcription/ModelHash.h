#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tallyvox::ModelHash {

// Lower-case hex SHA-256 of a file; nothing when it cannot be read.
std::optional<std::string> sha256(const std::filesystem::path& file);
// Whether the file's digest is exactly `sha256` (lower-case hex).
bool matches(const std::filesystem::path& file, std::string_view sha256);

} // namespace tallyvox::ModelHash

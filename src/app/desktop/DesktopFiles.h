#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tallyvox::desktop {

// Opens a file with the desktop's default application (through the portal when sandboxed);
// answers why it could not.
std::optional<std::string> openFile(const std::filesystem::path& file);
// The desktop's settings page for "microphone" or "accessibility", where one is known.
void openSystemSettings(const std::string& page);

} // namespace tallyvox::desktop

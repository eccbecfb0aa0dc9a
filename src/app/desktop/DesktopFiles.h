#pragma once

#include <filesystem>
#include <string>

namespace tallyvox::desktop {

// Opens a file with the desktop's default application (through the portal when sandboxed).
void openFile(const std::filesystem::path& file);
// The desktop's settings page for "microphone" or "accessibility", where one is known.
void openSystemSettings(const std::string& page);

} // namespace tallyvox::desktop

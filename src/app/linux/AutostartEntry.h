#pragma once

#include <filesystem>
#include <string>

namespace tallyvox::linux_services {

// The login item: an XDG autostart desktop file that starts the tray app at login.
namespace AutostartEntry {

std::filesystem::path path(); // $XDG_CONFIG_HOME/autostart/tallyvox.desktop
bool isEnabled(const std::filesystem::path& at = path());
// Throws tallyvox::Error (with the system's reason) when the entry cannot be changed.
void setEnabled(bool enabled, const std::string& executable,
                const std::filesystem::path& at = path());

} // namespace AutostartEntry
} // namespace tallyvox::linux_services

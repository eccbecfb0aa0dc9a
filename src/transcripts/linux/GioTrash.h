#pragma once

#include <filesystem>

namespace tallyvox::linux_services {

// Moves one file to the desktop's Trash (freedesktop.org trash through GIO); throws
// tallyvox::Error with GIO's description when it cannot.
void moveToTrash(const std::filesystem::path& file);

} // namespace tallyvox::linux_services

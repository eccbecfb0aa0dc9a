#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tallyvox::linux_services {

// Shows `file` selected in the desktop's file manager (org.freedesktop.FileManager1); where
// no file manager answers, opens its folder with the default application instead. Answers
// why nothing could be shown.
std::optional<std::string> showInFileManager(const std::filesystem::path& file);

} // namespace tallyvox::linux_services

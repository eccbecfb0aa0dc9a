#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tallyvox::FlatpakDeployment {

// A value of a group of a .flatpak-info key file ("[Instance]", "app-path").
std::optional<std::string> value(std::string_view info, std::string_view group,
                                 std::string_view key);

// The app id of a deployment folder of the system installation
// ("/var/lib/flatpak/app/<id>/<arch>/<branch>/<commit>/files"); nothing for any other folder,
// and for paths that could climb out of it ("..").
std::optional<std::string> systemAppID(std::string_view appPath);

// Whether the folder belongs to a user's own installation (~/.local/share/flatpak), which
// every program of that user may change.
bool isUserInstallation(std::string_view appPath);

// Where the sandbox's file at `sandboxPath` lies outside it: /app is the deployment's files.
std::optional<std::string> hostPath(std::string_view appPath, std::string_view sandboxPath);

} // namespace tallyvox::FlatpakDeployment

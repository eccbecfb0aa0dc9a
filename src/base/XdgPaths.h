#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace tallyvox::XdgPaths {

using Getenv = std::function<std::optional<std::string>(const std::string&)>;
std::optional<std::string> processEnv(const std::string& name);

// $HOME, else the password database's home folder.
std::filesystem::path home(const Getenv& env = processEnv);
std::filesystem::path configHome(const Getenv& env = processEnv);
std::filesystem::path dataHome(const Getenv& env = processEnv);
std::filesystem::path cacheHome(const Getenv& env = processEnv);
// Empty when the session has no runtime folder.
std::filesystem::path runtimeDir(const Getenv& env = processEnv);
// xdg-user-dirs' documents folder, else ~/Documents.
std::filesystem::path documents(const Getenv& env = processEnv);
// Where transcripts (and the protected settings beside them) go unless the user chose a
// folder: Tallyvox in the documents folder.
std::filesystem::path transcriptsRoot(const Getenv& env = processEnv);

// One entry of a user-dirs.dirs file ("XDG_DOCUMENTS_DIR"), with $HOME expanded. Nothing
// when absent, malformed, or pointing at the home folder itself (xdg-user-dirs' "disabled").
std::optional<std::filesystem::path> userDir(const std::string& fileContent, const std::string& key,
                                             const std::filesystem::path& home);

} // namespace tallyvox::XdgPaths

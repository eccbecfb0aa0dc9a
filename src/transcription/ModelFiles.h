#pragma once

#include <filesystem>
#include <string_view>
#include <system_error>

namespace tallyvox::ModelFiles {

// Creates `folder` and any missing parents owner-only (0700), as the model files in it are.
// Folders already there are left as they are. The error is empty on success.
std::error_code createFolder(const std::filesystem::path& folder);

// A download in progress writes here, beside its target, and holds an exclusive lock on it.
std::filesystem::path temporaryPath(const std::filesystem::path& target, std::string_view unique);
// Removes what downloads that died (a crash, a power cut) left in `folder`: temporary files
// that no running download holds locked.
void removeAbandonedDownloads(const std::filesystem::path& folder);

// Where a model file that cannot be loaded is put, so that it no longer counts as downloaded.
std::filesystem::path setAsidePath(const std::filesystem::path& model);
// Called after `model` failed to load: when its digest is not `sha256` the file is damaged and
// is moved to setAsidePath(), so that downloading it again fetches a fresh copy. A file with
// the right digest stays: downloading it again could not help.
void setAsideIfDamaged(const std::filesystem::path& model, std::string_view sha256);
// Moves `model`, already found damaged, to setAsidePath().
void setAside(const std::filesystem::path& model);

// Whether bytes already read from a model file have the digest `sha256` (lower-case hex), for
// a loader that checks the very bytes it goes on to parse.
bool hasDigest(std::string_view bytes, std::string_view sha256);

} // namespace tallyvox::ModelFiles

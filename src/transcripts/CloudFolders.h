#pragma once

#include <filesystem>

namespace tallyvox::CloudFolders {

// The folders the rules are anchored at.
struct Places {
    std::filesystem::path home;
    std::filesystem::path runtimeDir; // empty when the session has none

    // This user's home and runtime folders, read afresh.
    static Places current();
};

// Whether a folder lies on a remote GVFS mount or inside a sync client's folder, so that
// what is written there leaves this computer. Whole path components are compared:
// ~/Dropbox/Notes is synced, ~/DropboxNotes is not.
bool isSyncedFolder(const std::filesystem::path& folder, const Places& places);
bool isSyncedFolder(const std::filesystem::path& folder);

} // namespace tallyvox::CloudFolders

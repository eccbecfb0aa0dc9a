#include "fakes/TempDir.h"
#include "transcripts/CloudFolders.h"
#include "transcripts/TranscriptManager.h"

#include <gtest/gtest.h>

using namespace tallyvox;
using tallyvox::testing::ScopedEnv;
using tallyvox::testing::TempDir;
namespace fs = std::filesystem;

TEST(CloudFolders, RemoteMountsAndSyncClientFolders) {
    CloudFolders::Places places{"/home/ana", "/run/user/1000"};
    for (const char* synced :
         {"/run/user/1000/gvfs/sftp:host=nas/home/ana", "/run/user/1001/gvfs/smb-share:x",
          "/home/ana/.gvfs/share", "/home/ana/Dropbox", "/home/ana/Dropbox/Meetings/",
          "/home/ana/Dropbox (Personal)/x", "/home/ana/dropbox/x", "/home/ana/Nextcloud",
          "/home/ana/Nextcloud2/T", "/home/ana/ownCloud/T", "/home/ana/OneDrive - Contoso/T",
          "/home/ana/Insync/ana@example.com/Google Drive", "/home/ana/pCloudDrive/T",
          "/home/ana/MEGA/T", "/home/ana/MEGAsync/T", "/home/ana/Documents/../Dropbox/T"})
        EXPECT_TRUE(CloudFolders::isSyncedFolder(synced, places)) << synced;
    for (const char* local :
         {"/home/ana/DropboxNotes", "/home/ana/Documents/Tallyvox", "/home/ana/Documents/Dropbox",
          "/home/bob/Dropbox", "/home/ana/OneDrive-old", "/home/ana/MEGAsyncer",
          "/run/user/1000/gvfsx/a", "/run/user/me/gvfs/a", "/home/ana/Dropbox/../Notes", "Dropbox",
          "/"})
        EXPECT_FALSE(CloudFolders::isSyncedFolder(local, places)) << local;

    EXPECT_TRUE(CloudFolders::isSyncedFolder("/tmp/rt/gvfs/dav:host=x", {"/home/ana", "/tmp/rt"}));
    EXPECT_FALSE(CloudFolders::isSyncedFolder("/tmp/rt/gvfs/dav:host=x", {"/home/ana", ""}));
}

TEST(CloudFolders, AHomeReachedThroughALinkStillMatches) {
    TempDir dir;
    fs::create_directories(dir / "real/ana/Dropbox");
    fs::create_directory_symlink(dir / "real/ana", dir / "ana");
    EXPECT_TRUE(CloudFolders::isSyncedFolder(dir / "real/ana/Dropbox", {dir / "ana", ""}));
}

TEST(CloudFolders, CloudStorageAndLinksIntoSyncedFolders) {
    auto never = [](const fs::path&) { return false; };
    EXPECT_TRUE(TranscriptManager::isCloudSynced("/Users/a/Library/CloudStorage/Box-Box/T", never));
    EXPECT_TRUE(TranscriptManager::isCloudSynced(
        "/Users/a/Library/Mobile Documents/com~apple~CloudDocs", never));
    EXPECT_FALSE(TranscriptManager::isCloudSynced("/srv/notes", never));
    EXPECT_TRUE(TranscriptManager::isCloudSynced(
        "/srv/notes", [](const fs::path& p) { return p == "/srv/notes"; }));

    TempDir home;
    ScopedEnv h("HOME", home.path().string());
    fs::create_directories(home / "Dropbox/Notes");
    fs::create_directory_symlink(home / "Dropbox/Notes", home / "Notes");
    EXPECT_TRUE(TranscriptManager::isCloudSynced(home / "Notes"));
    EXPECT_FALSE(TranscriptManager::isCloudSynced(home / "Documents/Tallyvox"));

    // The sync folder itself moved to another disk and linked back keeps its name.
    TempDir disk;
    fs::create_directories(disk / "data/Meetings");
    fs::create_directory_symlink(disk / "data", home / "OneDrive");
    EXPECT_TRUE(TranscriptManager::isCloudSynced(home / "OneDrive/Meetings"));
}

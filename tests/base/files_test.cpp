#include "base/AtomicFile.h"
#include "base/Error.h"
#include "base/XdgPaths.h"
#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>
#include <unistd.h>

using namespace tallyvox;
using tallyvox::testing::TempDir;
namespace fs = std::filesystem;

namespace {
mode_t modeOf(const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 0777;
}
size_t entriesIn(const fs::path& folder) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(folder), {}));
}
} // namespace

TEST(AtomicFile, CreatesPrivateFoldersAndFileWhateverTheUmask) {
    TempDir dir;
    auto old = ::umask(022);
    auto target = dir / "2026/December/06-12-26/Teams_Meeting_14-05.txt";
    writeFileAtomically(target, "Meeting: Teams Meeting\n");
    ::umask(old);

    EXPECT_EQ(readWholeFile(target), "Meeting: Teams Meeting\n");
    EXPECT_EQ(modeOf(target), 0600u);
    EXPECT_EQ(modeOf(dir / "2026"), 0700u);
    EXPECT_EQ(modeOf(dir / "2026/December/06-12-26"), 0700u);
    EXPECT_EQ(::umask(old), old) << "the process mask is restored";
}

TEST(AtomicFile, ReplacesTheWholeFileAndLeavesNoTemporaryFile) {
    TempDir dir;
    auto target = dir / "t.txt";
    writeFileAtomically(target, std::string(10000, 'a'));
    writeFileAtomically(target, "short");
    EXPECT_EQ(readWholeFile(target), "short");
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(AtomicFile, FailureKeepsThePreviousFileAndSaysWhy) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root ignores folder permissions";
    TempDir dir;
    auto target = dir / "locked/t.txt";
    writeFileAtomically(target, "before");
    fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    try {
        writeFileAtomically(target, "after");
        FAIL() << "expected a FileError";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("Permission denied"), std::string::npos);
    }
    EXPECT_EQ(readWholeFile(target), "before");
    EXPECT_EQ(entriesIn(dir / "locked"), 1u);
}

TEST(AtomicFile, AFileWhereAFolderShouldBeIsAClearError) {
    TempDir dir;
    writeFileAtomically(dir / "blocker", "x");
    try {
        writeFileAtomically(dir / "blocker/inside/t.txt", "y");
        FAIL() << "expected a FileError";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("Not a directory"), std::string::npos) << e.what();
    }
}

TEST(XdgPaths, UserDirsEntryWithHomeExpansionAndQuotes) {
    std::string file = "# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                       "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n";
    EXPECT_EQ(XdgPaths::userDir(file, "XDG_DOCUMENTS_DIR", "/home/sam"),
              fs::path("/home/sam/Dokumente"));
    EXPECT_EQ(XdgPaths::userDir("XDG_DOCUMENTS_DIR=\"/srv/docs\"\n", "XDG_DOCUMENTS_DIR", "/h"),
              fs::path("/srv/docs"));
}

TEST(XdgPaths, DisabledMissingOrMalformedEntriesAreIgnored) {
    EXPECT_FALSE(XdgPaths::userDir("XDG_DOCUMENTS_DIR=\"$HOME/\"\n", "XDG_DOCUMENTS_DIR", "/h"));
    EXPECT_FALSE(XdgPaths::userDir("XDG_DOCUMENTS_DIR=\"$HOME\"\n", "XDG_DOCUMENTS_DIR", "/h"));
    EXPECT_FALSE(XdgPaths::userDir("XDG_DOCUMENTS_DIR=relative\n", "XDG_DOCUMENTS_DIR", "/h"));
    EXPECT_FALSE(XdgPaths::userDir("XDG_DOCUMENTS_DIR=\"$HOMEX/a\"\n", "XDG_DOCUMENTS_DIR", "/h"));
    EXPECT_FALSE(XdgPaths::userDir("", "XDG_DOCUMENTS_DIR", "/h"));
}

TEST(XdgPaths, DocumentsFollowTheUserDirsFileElseHomeDocuments) {
    TempDir dir;
    std::map<std::string, std::string> vars{{"HOME", dir.path().string()}};
    auto env = [&](const std::string& n) -> std::optional<std::string> {
        auto it = vars.find(n);
        return it == vars.end() ? std::nullopt : std::optional(it->second);
    };
    EXPECT_EQ(XdgPaths::documents(env), dir / "Documents");
    writeFileAtomically(dir / ".config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n");
    EXPECT_EQ(XdgPaths::documents(env), dir / "Docs");
    vars["XDG_DATA_HOME"] = "relative/ignored";
    EXPECT_EQ(XdgPaths::dataHome(env), dir / ".local/share");
}

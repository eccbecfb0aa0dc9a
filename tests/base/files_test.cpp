#include "base/AtomicFile.h"
#include "base/BoundedRead.h"
#include "base/Error.h"
#include "base/XdgPaths.h"
#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
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

// Whatever is swapped in at a path we read, the read ends at once with a reason, having held
// no more than the limit in memory.
TEST(BoundedRead, RefusesWhatIsNotASmallRegularFileWithoutWaitingOrReadingIt) {
    TempDir dir;
    const auto fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_THROW(readFileBounded(fifo, 1024), UnreadableFile) << "a FIFO with no writer";
    EXPECT_EQ(readWholeFile(fifo), std::nullopt);

    fs::create_symlink("/dev/zero", dir / "zero");
    try {
        readFileBounded(dir / "zero", 1024);
        FAIL() << "a device behind a link";
    } catch (const UnreadableFile& e) {
        EXPECT_EQ(e.reason(), "is not a regular file");
    }

    // A sparse file claiming a gigabyte is refused from its size, before a byte is read.
    const auto sparse = dir / "sparse.plist";
    {
        const int fd = ::open(sparse.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 1ll << 30), 0);
        ::close(fd);
    }
    try {
        readFileBounded(sparse, 16u << 20);
        FAIL() << "a file over the limit";
    } catch (const UnreadableFile& e) {
        EXPECT_EQ(e.reason(), "is larger than 16 MB");
    }
    EXPECT_THROW(readFileBounded(dir.path(), 1024), UnreadableFile) << "a folder";
}

TEST(BoundedRead, LinksAreFollowedOnlyWhereMeantAndAMissingFileIsToldApart) {
    TempDir dir;
    writeFileAtomically(dir / "real", "bytes");
    fs::create_symlink(dir / "real", dir / "link");
    EXPECT_EQ(readFileBounded(dir / "link", 5), "bytes");
    try {
        readFileBounded(dir / "link", 5, Links::refuse);
        FAIL() << "a planted link";
    } catch (const UnreadableFile& e) {
        EXPECT_EQ(e.reason(), "is a symbolic link");
        EXPECT_FALSE(e.missing());
    }
    try {
        readFileBounded(dir / "absent", 5);
        FAIL() << "nothing there";
    } catch (const UnreadableFile& e) {
        EXPECT_TRUE(e.missing());
    }
    EXPECT_EQ(readFileBounded(dir / "real", 5), "bytes") << "exactly the limit is allowed";
    EXPECT_THROW(readFileBounded(dir / "real", 4), UnreadableFile);
    EXPECT_EQ(tryReadFileBounded("/proc/self/status", 1 << 20).has_value(), true)
        << "files that report no size are bounded while read";
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

#include "detection/linux/ProcFs.h"

#include "detection/AppGenuineness.h"
#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace tallyvox;
using tallyvox::testing::ScopedEnv;
using tallyvox::testing::TempDir;
namespace fs = std::filesystem;

namespace {

// A child process running `program` for a while; killed and reaped at the end.
struct Child {
    pid_t pid = 0;
    explicit Child(const std::string& program) {
        std::string arg = "30";
        char* argv[] = {const_cast<char*>(program.c_str()), arg.data(), nullptr};
        EXPECT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ), 0);
        // Wait for the exec to show in /proc.
        for (int i = 0; i < 200 && ProcFs().executable(pid) != program; ++i)
            ::usleep(5000);
    }
    ~Child() {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
};

bool haveDpkg() {
    return ProcFs::runDpkgSearch("/usr/bin/sleep").has_value() ||
           ProcFs::runDpkgSearch("/bin/sleep").has_value();
}

} // namespace

TEST(ProcFs, StatFieldsSurviveOddCommandNames) {
    auto fields = ProcFs::statFields("42 (a) b (c)) S 7 42 42 0 -1 4194560 1 0 0 0 0 0 0 0 20 0 "
                                     "1 0 123456 1000 10\n");
    ASSERT_TRUE(fields);
    EXPECT_EQ((*fields)[0], "S");
    EXPECT_EQ((*fields)[1], "7");
    EXPECT_EQ((*fields)[19], "123456");
    EXPECT_FALSE(ProcFs::statFields("42 (trunc"));
    EXPECT_FALSE(ProcFs::statFields("42 (x) S 1"));
}

TEST(ProcFs, OwnProcess) {
    ProcFs proc;
    std::int32_t self = ::getpid();
    EXPECT_TRUE(proc.isAlive(self));
    EXPECT_EQ(proc.parent(self), ::getppid());
    EXPECT_TRUE(proc.startTime(self));
    EXPECT_EQ(proc.executable(self), fs::read_symlink("/proc/self/exe").string());
    auto running = proc.executableFile(self);
    auto here = proc.fileFacts(*proc.executable(self));
    ASSERT_TRUE(running && here);
    EXPECT_EQ(running->inode, here->inode);
    EXPECT_TRUE(proc.cgroup(self));
    EXPECT_FALSE(proc.flatpakInfo(self)) << "tests do not run in a flatpak";
    EXPECT_FALSE(proc.isAlive(0));
    EXPECT_FALSE(proc.executable(-5));
}

TEST(ProcFs, UnreapedChildIsNotAlive) {
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ProcFs proc;
    for (int i = 0; i < 200 && proc.isAlive(child); ++i)
        ::usleep(5000);
    EXPECT_FALSE(proc.isAlive(child)) << "a zombie counts as gone";
    EXPECT_EQ(::kill(child, 0), 0) << "though kill() still finds it";
    ::waitpid(child, nullptr, 0);
    EXPECT_FALSE(proc.isAlive(child));
}

TEST(ProcFs, MainProcessStopsAtAnotherExecutable) {
    Child sleeper("/usr/bin/sleep");
    ProcFs proc;
    EXPECT_EQ(ProcessTree::mainProcess(sleeper.pid, proc), sleeper.pid);
    EXPECT_EQ(proc.parent(sleeper.pid), ::getpid());
}

TEST(ProcFs, DpkgIsAskedWithoutAShell) {
    if (!haveDpkg())
        GTEST_SKIP() << "no dpkg database here";
    TempDir dir;
    auto marker = dir / "marker";
    auto path = "/usr/bin/sleep; touch " + marker.string();
    EXPECT_EQ(ProcFs::runDpkgSearch(path), "") << "an answer: no package owns that";
    EXPECT_FALSE(fs::exists(marker));
    ProcFs proc;
    auto owners = proc.owningPackages("/usr/bin/sleep");
    ASSERT_TRUE(owners);
    EXPECT_NE(std::find(owners->begin(), owners->end(), "coreutils"), owners->end());
}

TEST(ProcFs, APlantedDpkgOnThePathIsNeverAsked) {
    if (!haveDpkg())
        GTEST_SKIP() << "no dpkg database here";
    TempDir dir;
    for (const char* name : {"dpkg", "dpkg-query"}) {
        std::ofstream(dir / name) << "#!/bin/sh\necho \"zoom: $2\"\n";
        fs::permissions(dir / name, fs::perms::owner_all);
    }
    ScopedEnv path("PATH", dir.path().string() + ":" + std::getenv("PATH"));
    ScopedEnv admin("DPKG_ADMINDIR", dir.path().string());
    Child sleeper("/usr/bin/sleep");
    ProcFs proc;
    auto owners = proc.owningPackages("/usr/bin/sleep");
    ASSERT_TRUE(owners);
    EXPECT_EQ(std::find(owners->begin(), owners->end(), "zoom"), owners->end());
    EXPECT_FALSE(AppGenuineness::check(sleeper.pid, Platform::zoom, AppGenuineness::vendors(), proc)
                     .genuine);
}

TEST(ProcFs, NamespacePidsOfTheStatusFile) {
    EXPECT_EQ(ProcFs::nsPidLine("Name:\tzoom\nNSpid:\t7297\t2\nNSpgid:\t1\n"),
              (std::vector<std::int32_t>{7297, 2}));
    EXPECT_TRUE(ProcFs::nsPidLine("Name:\tx\n").empty());
    EXPECT_EQ(ProcFs().namespacePids(::getpid()), std::vector<std::int32_t>{::getpid()});

    EXPECT_EQ(ProcFs::uidLine("Name:\tzoom\nUid:\t1000\t1000\t1000\t1000\n"), 1000u);
    EXPECT_FALSE(ProcFs::uidLine("Name:\tzoom\nUid:\t-1\t0\n"));
    EXPECT_FALSE(ProcFs::uidLine("Name:\tzoom\nUid:\t99999999999\n"));
    EXPECT_EQ(ProcFs().userId(::getpid()), ::getuid());
}

TEST(ProcFs, RealProcessesAgainstTheRule) {
    if (!haveDpkg())
        GTEST_SKIP() << "no dpkg database here";
    TempDir dir;
    auto copy = dir / "zoom";
    fs::copy_file("/usr/bin/sleep", copy);
    fs::permissions(copy, fs::perms::owner_all);

    Child genuine("/usr/bin/sleep");
    Child impostor(copy.string());
    ProcFs proc;
    TrustList coreutils{{.platform = Platform::zoom,
                         .packages = {"coreutils"},
                         .snaps = {},
                         .flatpaks = {},
                         .exactPaths = {}}};
    EXPECT_TRUE(AppGenuineness::check(genuine.pid, Platform::zoom, coreutils, proc).genuine);
    auto verdict = AppGenuineness::check(impostor.pid, Platform::zoom, coreutils, proc);
    EXPECT_FALSE(verdict.genuine);
    EXPECT_FALSE(AppGenuineness::check(genuine.pid, Platform::zoom, AppGenuineness::vendors(), proc)
                     .genuine);

    TrustList exact{{.platform = Platform::zoom,
                     .packages = {},
                     .snaps = {},
                     .flatpaks = {},
                     .exactPaths = {copy.string()}}};
    EXPECT_TRUE(AppGenuineness::check(impostor.pid, Platform::zoom, exact, proc).genuine);
}

TEST(ProcFs, StartOfAProcessByTheWallClock) {
    EXPECT_EQ(ProcFs::bootTimeLine("cpu 1 2\nintr 5 0 0\nbtime 1765000000\nprocesses 9\n"),
              1765000000);
    EXPECT_EQ(ProcFs::bootTimeLine("btime 42"), 42);
    EXPECT_FALSE(ProcFs::bootTimeLine("cpu 1 2\nctxt 9\n"));
    EXPECT_FALSE(ProcFs::bootTimeLine("xbtime 42\nbtime soon\n"));
    EXPECT_FALSE(ProcFs::bootTimeLine("btime -5\n"));

    // This test process started before now and after the machine booted.
    ProcFs proc;
    auto started = proc.startedAt(::getpid());
    ASSERT_TRUE(started);
    const auto now = std::chrono::system_clock::now();
    EXPECT_LE(*started, now + std::chrono::seconds(1));
    EXPECT_GT(*started, now - std::chrono::hours(24));
    EXPECT_FALSE(proc.startedAt(0));
    EXPECT_FALSE(ProcFs("/nonexistent").startedAt(::getpid()));
}

#include "SingleInstance.h"

#include "fakes/TempDir.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tallyvox::testing {
namespace {

namespace fs = std::filesystem;
constexpr uid_t nobody = 65534;

bool isPrivate(const fs::path& folder) {
    struct stat facts {};
    return ::lstat(folder.c_str(), &facts) == 0 && S_ISDIR(facts.st_mode) &&
           facts.st_uid == ::getuid() && (facts.st_mode & 077) == 0;
}

// Without a runtime folder the socket lives in a folder only this user can enter, whatever
// other users placed in the shared temporary folder first.
TEST(SingleInstance, WithoutARuntimeFolderTheSocketIsInAPrivateFolder) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "planting another user's folders needs root";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
    ScopedEnv tmp("TMPDIR", dir.path().string());
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    // What another user could make there ahead of us.
    const passwd* me = ::getpwuid(::getuid());
    ASSERT_NE(me, nullptr);
    const fs::path planted = dir / ("runtime-" + std::string(me->pw_name));
    fs::create_directory(planted);
    ASSERT_EQ(::chown(planted.c_str(), nobody, nobody), 0);

    const fs::path socket = desktop::SingleInstance::defaultSocketPath().toStdString();
    ASSERT_FALSE(socket.empty());
    EXPECT_TRUE(isPrivate(socket.parent_path())) << socket;
    EXPECT_NE(socket.parent_path(), dir.path());

    // A folder of that name that is not ours means no hand-over, never someone else's socket.
    fs::remove_all(socket.parent_path());
    fs::create_directory(socket.parent_path());
    ASSERT_EQ(::chown(socket.parent_path().c_str(), nobody, nobody), 0);
    EXPECT_TRUE(desktop::SingleInstance::defaultSocketPath().isEmpty());
    fs::remove_all(socket.parent_path());
    fs::create_directory_symlink(dir / "elsewhere", socket.parent_path());
    fs::create_directory(dir / "elsewhere");
    ::chmod((dir / "elsewhere").c_str(), 0700);
    EXPECT_TRUE(desktop::SingleInstance::defaultSocketPath().isEmpty());
}

// Another user's process listening where we look is not "Tallyvox is already running".
TEST(SingleInstance, AListenerOfAnotherUserIsNotTheRunningApp) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "listening as another user needs root";
    TempDir dir;
    const fs::path path = dir / "tallyvox.socket";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Bound as root, listening as another user: the credentials a peer sees are those of
        // the listen call.
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::setresuid(nobody, nobody, nobody) != 0 || ::listen(fd, 4) != 0)
            ::_exit(1);
        (void)!::write(ready[1], "r", 1);
        for (;;) {
            int peer = ::accept(fd, nullptr, nullptr);
            char buffer[16];
            (void)!::read(peer, buffer, sizeof buffer);
            ::close(peer);
        }
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);

    desktop::SingleInstance second(QString::fromStdString(path.string()));
    EXPECT_FALSE(second.askRunningToShow());
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

TEST(SingleInstance, TheRunningAppIsAskedToShowByALaterLaunch) {
    TempDir dir;
    const QString path = QString::fromStdString((dir / "tallyvox.socket").string());
    desktop::SingleInstance first(path);
    int shown = 0;
    ASSERT_TRUE(first.listen([&] { ++shown; }));
    bool answered = false;
    std::thread later([&] { answered = desktop::SingleInstance(path).askRunningToShow(); });
    QElapsedTimer clock;
    clock.start();
    while (shown == 0 && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    later.join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(shown, 1);
}

} // namespace
} // namespace tallyvox::testing

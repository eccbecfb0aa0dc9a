// The desktop's D-Bus services, tested against a private dbus-daemon with small stand-ins
// for the notification server and logind registered on it.
#include "app/linux/AutostartEntry.h"
#include "app/linux/DesktopNotifications.h"
#include "app/linux/GlibThread.h"
#include "app/linux/PrivateBus.h"
#include "app/linux/SleepWatcher.h"
#include "base/AtomicFile.h"
#include "desktop_bus_fakes.h"
#include "fakes/TempDir.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

using namespace tallyvox;
using namespace tallyvox::linux_services;
using tallyvox::testing::ScopedEnv;
using tallyvox::testing::TempDir;

using tallyvox::testing::BusDaemon;
using tallyvox::testing::closedByPeer;
using tallyvox::testing::FakeService;
using tallyvox::testing::logindXml;
using tallyvox::testing::notificationsXml;
using tallyvox::testing::waitUntil;

TEST(DesktopNotifications, PostsToTheSessionNotificationServer) {
    BusDaemon daemon;
    ASSERT_TRUE(daemon.ok()) << "dbus-daemon did not start";
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", daemon.address());

    EXPECT_FALSE(DesktopNotifications::available()) << "nobody serves notifications yet";

    std::mutex mutex;
    std::string seen;
    FakeService server(G_BUS_TYPE_SESSION, "org.freedesktop.Notifications",
                       "/org/freedesktop/Notifications", notificationsXml,
                       [&](const std::string&, GVariant* args, GDBusMethodInvocation* call) {
                           const gchar *app, *icon, *title, *body;
                           guint32 replaces;
                           gint32 timeout;
                           g_variant_get(args, "(&su&s&s&sasa{sv}i)", &app, &replaces, &icon,
                                         &title, &body, nullptr, nullptr, &timeout);
                           std::lock_guard lock(mutex);
                           seen = std::string(app) + "|" + title + "|" + body;
                           g_dbus_method_invocation_return_value(call, g_variant_new("(u)", 7u));
                       });
    EXPECT_TRUE(DesktopNotifications::available());
    EXPECT_EQ(DesktopNotifications::post("Zoom meeting detected", "Start transcription?"),
              std::nullopt);
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, "Tallyvox|Zoom meeting detected|Start transcription?");
}

TEST(DesktopNotifications, WithoutABusNothingIsShownAndNothingBreaks) {
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    EXPECT_FALSE(DesktopNotifications::available());
    EXPECT_NE(DesktopNotifications::post("t", "b"), std::nullopt);
}

TEST(SleepWatcher, HoldsADelayInhibitorReleasedOnlyAfterPausing) {
    BusDaemon daemon;
    ASSERT_TRUE(daemon.ok()) << "dbus-daemon did not start";
    ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", daemon.address());

    std::mutex mutex;
    std::vector<int> readEnds;
    std::string what;
    FakeService logind(G_BUS_TYPE_SYSTEM, "org.freedesktop.login1", "/org/freedesktop/login1",
                       logindXml,
                       [&](const std::string&, GVariant* args, GDBusMethodInvocation* call) {
                           const gchar *kind, *who, *why, *mode;
                           g_variant_get(args, "(&s&s&s&s)", &kind, &who, &why, &mode);
                           int pipeEnds[2];
                           ASSERT_EQ(::pipe(pipeEnds), 0);
                           GUnixFDList* fds = g_unix_fd_list_new_from_array(&pipeEnds[1], 1);
                           {
                               std::lock_guard lock(mutex);
                               readEnds.push_back(pipeEnds[0]);
                               what = std::string(kind) + "/" + mode;
                           }
                           g_dbus_method_invocation_return_value_with_unix_fd_list(
                               call, g_variant_new("(h)", 0), fds);
                           g_object_unref(fds);
                       });

    std::atomic<int> sleeps{0}, wakes{0};
    std::function<void()> finishPausing;
    std::mutex pauseMutex;
    SleepWatcher watcher(
        [&](std::function<void()> done) {
            std::lock_guard lock(pauseMutex);
            ++sleeps;
            finishPausing = std::move(done);
        },
        [&] { ++wakes; });
    ASSERT_TRUE(watcher.isConnected());
    ASSERT_TRUE(watcher.holdsInhibitor());
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(what, "sleep/delay");
    }

    logind.emit("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep",
                g_variant_new("(b)", TRUE));
    ASSERT_TRUE(waitUntil([&] { return sleeps == 1; }));
    int first = readEnds.front();
    EXPECT_FALSE(closedByPeer(first)) << "the system must wait until audio is paused";
    {
        std::lock_guard lock(pauseMutex);
        finishPausing();
    }
    EXPECT_TRUE(waitUntil([&] { return closedByPeer(first); }));
    EXPECT_FALSE(watcher.holdsInhibitor());

    logind.emit("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep",
                g_variant_new("(b)", FALSE));
    ASSERT_TRUE(waitUntil([&] { return wakes == 1; }));
    EXPECT_TRUE(watcher.holdsInhibitor()) << "a new inhibitor for the next sleep";
    for (int fd : readEnds)
        ::close(fd);
}

TEST(SleepWatcher, WithoutLogindItDoesNothing) {
    ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus");
    SleepWatcher watcher([](std::function<void()> done) { done(); }, [] {});
    EXPECT_FALSE(watcher.isConnected());
    EXPECT_FALSE(watcher.holdsInhibitor());
}

TEST(AutostartEntry, WritesAndRemovesTheLoginItem) {
    TempDir dir;
    auto entry = dir / "autostart/tallyvox.desktop";
    EXPECT_FALSE(AutostartEntry::isEnabled(entry));
    AutostartEntry::setEnabled(true, "/opt/Tally Vox/tallyvox", entry);
    EXPECT_TRUE(AutostartEntry::isEnabled(entry));
    auto content = readWholeFile(entry).value_or("");
    EXPECT_NE(content.find("Exec=\"/opt/Tally Vox/tallyvox\"\n"), std::string::npos) << content;
    AutostartEntry::setEnabled(false, "", entry);
    EXPECT_FALSE(AutostartEntry::isEnabled(entry));
    AutostartEntry::setEnabled(false, "", entry); // already off: no error

    writeFileAtomically(entry, "[Desktop Entry]\nExec=tallyvox\nHidden=true\n");
    EXPECT_FALSE(AutostartEntry::isEnabled(entry)) << "turned off in the desktop's settings";
}

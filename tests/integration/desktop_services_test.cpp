// The desktop app's system events over D-Bus: logind's shutdown signal with its delay
// inhibitor, and clicks on our notifications, against a private dbus-daemon with small
// stand-ins for logind and the notification server.
#include "desktop_bus_fakes.h"

#include "app/linux/DesktopNotifications.h"
#include "app/linux/LinuxPlatformServices.h"
#include "app/linux/ShutdownWatcher.h"
#include "app/linux/SleepWatcher.h"
#include "base/AtomicFile.h"
#include "base/Log.h"
#include "fakes/TempDir.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

using namespace tallyvox;
using namespace tallyvox::linux_services;
using tallyvox::testing::BusDaemon;
using tallyvox::testing::closedByPeer;
using tallyvox::testing::FakeLogind;
using tallyvox::testing::FakeService;
using tallyvox::testing::login1Manager;
using tallyvox::testing::login1Path;
using tallyvox::testing::logindXml;
using tallyvox::testing::notificationsXml;
using tallyvox::testing::ScopedEnv;
using tallyvox::testing::TempDir;
using tallyvox::testing::waitUntil;

namespace {

// The app's side: counts shutdowns and keeps the last `done` for the test to call.
struct ShutdownHandler {
    std::mutex mutex;
    int calls = 0;
    std::function<void()> done;

    std::function<void(std::function<void()>)> callback() {
        return [this](std::function<void()> finished) {
            std::lock_guard lock(mutex);
            ++calls;
            done = std::move(finished);
        };
    }
    int count() {
        std::lock_guard lock(mutex);
        return calls;
    }
    std::function<void()> takeDone() {
        std::lock_guard lock(mutex);
        return std::exchange(done, nullptr);
    }
};

} // namespace

TEST(ShutdownWatcher, ShutdownWaitsUntilTheTranscriptIsSavedAndACallOffKeepsGuarding) {
    BusDaemon daemon;
    ASSERT_TRUE(daemon.ok()) << "dbus-daemon did not start";
    ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", daemon.address());
    FakeLogind logind;
    ShutdownHandler handler;
    ShutdownWatcher watcher(handler.callback());
    ASSERT_TRUE(watcher.isConnected());
    ASSERT_TRUE(watcher.holdsInhibitor());
    EXPECT_EQ(logind.requests(), std::vector<std::string>{"shutdown/delay"})
        << "a block inhibitor would stop the user's shutdown outright";

    logind.prepareForShutdown(true);
    ASSERT_TRUE(waitUntil([&] { return handler.count() == 1; }));
    int first = logind.readEnd("shutdown/delay", 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(closedByPeer(first)) << "the system must wait until the transcript is saved";
    auto firstDone = handler.takeDone();

    // Called off before the save ended: the inhibitor stays for the next shutdown, and the
    // first shutdown's late `done` must leave it alone.
    Log::Capture log;
    logind.prepareForShutdown(false);
    ASSERT_TRUE(waitUntil([&] { return log.contains("The shutdown was called off"); }));
    firstDone();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(closedByPeer(first)) << "a late done let the next shutdown go unguarded";
    EXPECT_TRUE(watcher.holdsInhibitor());
    EXPECT_EQ(logind.count("shutdown/delay"), 1u);

    logind.prepareForShutdown(true);
    ASSERT_TRUE(waitUntil([&] { return handler.count() == 2; }));
    EXPECT_FALSE(closedByPeer(first));
    handler.takeDone()();
    EXPECT_TRUE(waitUntil([&] { return closedByPeer(first); }));
    EXPECT_FALSE(watcher.holdsInhibitor());

    // Called off after the app let go: it takes a new one.
    logind.prepareForShutdown(false);
    ASSERT_TRUE(waitUntil([&] { return logind.count("shutdown/delay") == 2; }));
    EXPECT_TRUE(waitUntil([&] { return watcher.holdsInhibitor(); }));
    EXPECT_FALSE(closedByPeer(logind.readEnd("shutdown/delay", 1)));
}

TEST(ShutdownWatcher, OnlyLogindCanAnnounceAShutdownAndALateDoneIsHarmless) {
    BusDaemon daemon;
    ASSERT_TRUE(daemon.ok()) << "dbus-daemon did not start";
    ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", daemon.address());
    FakeLogind logind;
    ShutdownHandler handler;
    auto watcher = std::make_unique<ShutdownWatcher>(handler.callback());
    ASSERT_TRUE(watcher->holdsInhibitor());

    // Any program on the system bus may send this signal; only logind's counts.
    FakeService impostor(G_BUS_TYPE_SYSTEM, "org.example.Impostor", login1Path, logindXml,
                         [](const std::string&, GVariant*, GDBusMethodInvocation* call) {
                             g_dbus_method_invocation_return_value(call, nullptr);
                         });
    impostor.emit(login1Path, login1Manager, "PrepareForShutdown", g_variant_new("(b)", TRUE));
    logind.prepareForShutdown(true);
    ASSERT_TRUE(waitUntil([&] { return handler.count() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(handler.count(), 1) << "the impostor's signal was taken for logind's";

    // The app may end (and the watcher with it) before its save reports back.
    auto done = handler.takeDone();
    watcher.reset();
    EXPECT_TRUE(closedByPeer(logind.readEnd("shutdown/delay")))
        << "an ending app lets the system go on";
    done();
}

TEST(ShutdownWatcher, WithoutLogindItDoesNothing) {
    ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus");
    ShutdownWatcher watcher([](std::function<void()> done) { done(); });
    EXPECT_FALSE(watcher.isConnected());
    EXPECT_FALSE(watcher.holdsInhibitor());
}

// The app follows shutdown and sleep at once: one connection to logind serves both, and
// each signal reaches only its own watcher.
TEST(ShutdownWatcher, SharesOneLogindConnectionWithTheSleepWatcher) {
    BusDaemon daemon;
    ASSERT_TRUE(daemon.ok()) << "dbus-daemon did not start";
    ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", daemon.address());
    FakeLogind logind;
    ShutdownHandler handler;
    std::atomic<int> sleeps{0}, wakes{0};
    auto shutdownWatch = std::make_unique<ShutdownWatcher>(handler.callback());
    auto sleepWatch = std::make_unique<SleepWatcher>(
        [&](const std::function<void()>& done) {
            ++sleeps;
            done();
        },
        [&] { ++wakes; });
    ASSERT_TRUE(shutdownWatch->holdsInhibitor());
    ASSERT_TRUE(sleepWatch->holdsInhibitor());
    auto callers = logind.callers();
    ASSERT_EQ(callers.size(), 2u);
    EXPECT_EQ(callers[0], callers[1]) << "each watcher opened a connection of its own";

    logind.prepareForSleep(true);
    ASSERT_TRUE(waitUntil([&] { return closedByPeer(logind.readEnd("sleep/delay")); }));
    logind.prepareForSleep(false);
    ASSERT_TRUE(waitUntil([&] { return wakes == 1; }));
    EXPECT_EQ(sleeps, 1);
    EXPECT_EQ(handler.count(), 0) << "sleeping was taken for a shutdown";
    EXPECT_TRUE(shutdownWatch->holdsInhibitor());

    // The sleep watcher goes (its subscription ends); the shutdown watcher still hears.
    sleepWatch.reset();
    logind.prepareForShutdown(true);
    ASSERT_TRUE(waitUntil([&] { return handler.count() == 1; }));
    handler.takeDone()();
    EXPECT_TRUE(waitUntil([&] { return closedByPeer(logind.readEnd("shutdown/delay")); }));
    EXPECT_EQ(sleeps, 1);
}

namespace {

constexpr const char* notificationsName = "org.freedesktop.Notifications";
constexpr const char* notificationsPath = "/org/freedesktop/Notifications";

// Numbers notifications from 1 and keeps the actions each one offered.
struct FakeNotificationServer {
    std::mutex mutex;
    std::vector<std::vector<std::string>> actions;
    FakeService service{G_BUS_TYPE_SESSION, notificationsName, notificationsPath, notificationsXml,
                        [this](const std::string&, GVariant* args, GDBusMethodInvocation* call) {
                            GVariantIter* offered = nullptr;
                            g_variant_get(args, "(&su&s&s&sasa{sv}i)", nullptr, nullptr, nullptr,
                                          nullptr, nullptr, &offered, nullptr, nullptr);
                            std::vector<std::string> keys;
                            const gchar* key = nullptr;
                            while (g_variant_iter_loop(offered, "&s", &key))
                                keys.emplace_back(key);
                            g_variant_iter_free(offered);
                            guint32 id = 0;
                            {
                                std::lock_guard lock(mutex);
                                actions.push_back(keys);
                                id = static_cast<guint32>(actions.size());
                            }
                            g_dbus_method_invocation_return_value(call, g_variant_new("(u)", id));
                        }};

    void invoke(guint32 id, const char* action, bool toPosterOnly) {
        service.emit(notificationsPath, notificationsName, "ActionInvoked",
                     g_variant_new("(us)", id, action), toPosterOnly);
    }
    void closed(guint32 id) {
        service.emit(notificationsPath, notificationsName, "NotificationClosed",
                     g_variant_new("(uu)", id, 2u));
    }
};

} // namespace

TEST(DesktopNotifications, AClickOnOneOfOurNotificationsIsReportedOnce) {
    BusDaemon daemon;
    ASSERT_TRUE(daemon.ok()) << "dbus-daemon did not start";
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", daemon.address());
    FakeNotificationServer server;
    DesktopNotifications notifications;
    std::atomic<int> clicks{0};
    notifications.setOnClicked([&] { ++clicks; });

    ASSERT_EQ(notifications.show("Zoom meeting detected", "Start transcription?"), std::nullopt);
    ASSERT_EQ(notifications.show("Microphone is silent", "Check the input"), std::nullopt);
    {
        std::lock_guard lock(server.mutex);
        ASSERT_EQ(server.actions.size(), 2u);
        EXPECT_EQ(server.actions[0], (std::vector<std::string>{"default", "Open Tallyvox"}));
    }
    EXPECT_EQ(notifications.openCount(), 2u);

    // Many servers send the signal only to the connection that posted.
    server.invoke(1, "default", true);
    ASSERT_TRUE(waitUntil([&] { return clicks == 1; }));

    // Not ours, or not a click: nothing opens.
    server.invoke(77, "default", false);
    server.invoke(2, "snooze", false);
    // Closed: a later signal with its number belongs to someone else's notification.
    server.closed(2);
    ASSERT_TRUE(waitUntil([&] { return notifications.openCount() == 1; }));
    server.invoke(2, "default", false);
    server.invoke(1, "default", false);
    ASSERT_TRUE(waitUntil([&] { return clicks == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(clicks, 2);

    notifications.setOnClicked(nullptr);
    server.invoke(1, "default", false);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(clicks, 2) << "no handler once the app stopped listening";
}

TEST(DesktopNotifications, WithoutAServerShowingFailsWithTheReason) {
    {
        BusDaemon daemon;
        ASSERT_TRUE(daemon.ok()) << "dbus-daemon did not start";
        ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", daemon.address());
        DesktopNotifications notifications;
        auto error = notifications.show("t", "b");
        ASSERT_NE(error, std::nullopt);
        EXPECT_NE(error->find("org.freedesktop.Notifications"), std::string::npos) << *error;
        EXPECT_EQ(notifications.openCount(), 0u);
    }
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    DesktopNotifications notifications;
    EXPECT_EQ(notifications.show("t", "b"), std::optional<std::string>("no session bus"));
}

namespace {

// The main thread's queue, drained by the test: tasks may be posted from any thread.
class QueueExecutor : public Executor {
public:
    std::size_t runAll() {
        std::vector<Task> due;
        {
            std::lock_guard lock(mutex_);
            due.swap(tasks_);
        }
        for (auto& task : due)
            task();
        return due.size();
    }
    std::size_t pending() {
        std::lock_guard lock(mutex_);
        return tasks_.size();
    }

protected:
    void schedule(Duration, Task task) override {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }

private:
    std::mutex mutex_;
    std::vector<Task> tasks_;
};

} // namespace

TEST(DesktopNotifications, TheAppHearsClicksOnTheMainThreadWhileItListens) {
    BusDaemon daemon;
    ASSERT_TRUE(daemon.ok()) << "dbus-daemon did not start";
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", daemon.address());
    FakeNotificationServer server;
    QueueExecutor main;
    auto services = linuxPlatformServices(main, Clock::system(), "tallyvox");
    ASSERT_TRUE(services.canNotify);
    ASSERT_TRUE(services.observeNotificationClicks);

    int shown = 0;
    auto listening = services.observeNotificationClicks([&] { ++shown; });
    std::optional<std::string> error = "not answered";
    services.postNotification({.identifier = "detected", .title = "Zoom", .body = "Start?"},
                              [&](std::optional<std::string> why) { error = why; });
    ASSERT_EQ(error, std::nullopt);

    server.invoke(1, "default", true);
    ASSERT_TRUE(waitUntil([&] { return main.pending() == 1; }));
    EXPECT_EQ(shown, 0) << "the panel is shown on the main thread, not on the bus's";
    main.runAll();
    EXPECT_EQ(shown, 1);

    // A click already on its way when the app stops listening shows nothing.
    server.invoke(1, "default", true);
    ASSERT_TRUE(waitUntil([&] { return main.pending() == 1; }));
    listening.reset();
    main.runAll();
    EXPECT_EQ(shown, 1);
}

TEST(LaunchAtLogin, EachChangeIsLoggedAndAFailureSaysWhy) {
    TempDir dir;
    ScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/session_bus");
    ScopedEnv config("XDG_CONFIG_HOME", (dir / "config").string());
    QueueExecutor main;
    auto services = linuxPlatformServices(main, Clock::system(), "/opt/tallyvox");
    Log::Capture log;
    services.setLaunchAtLogin(true);
    EXPECT_TRUE(services.launchAtLoginEnabled());
    EXPECT_TRUE(log.contains("Launch at login on"));
    services.setLaunchAtLogin(false);
    EXPECT_FALSE(services.launchAtLoginEnabled());
    EXPECT_TRUE(log.contains("Launch at login off"));

    // A file where the config folder should be: nothing can be made under it, even as root.
    writeFileAtomically(dir / "plain", "not a folder");
    ScopedEnv blocked("XDG_CONFIG_HOME", (dir / "plain").string());
    log.clear();
    EXPECT_ANY_THROW(services.setLaunchAtLogin(true));
    EXPECT_FALSE(log.contains("Launch at login on")) << "a failure reported as success";
    const auto lines = log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& line) {
        return line.level == spdlog::level::err &&
               line.text.rfind("Launch at login not turned on: ", 0) == 0;
    }));
}

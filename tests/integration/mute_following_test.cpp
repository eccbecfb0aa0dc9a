// Mute following against a real accessibility bus: a private session bus whose AT-SPI2 bus
// launcher and registry are started on demand, a virtual X display, and a small Qt client
// whose mute button is clicked from here.
#include "app/linux/AccessibilityBus.h"
#include "audio/AccessibilityMuteWatcher.h"
#include "audio/linux/AtspiTree.h"
#include "fakes/AccessibleDesktop.h"
#include "fakes/PipedChild.h"
#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace tallyvox;
using namespace tallyvox::linux_services;
using tallyvox::testing::ScopedEnv;
using Child = tallyvox::testing::PipedChild;
using tallyvox::testing::AccessibleDesktop;
using tallyvox::testing::TempDir;

namespace {

// What the watcher reported, waited for from the test's thread.
struct Reports {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::optional<bool>> seen;

    void add(std::optional<bool> state) {
        std::lock_guard hold(lock);
        seen.push_back(state);
        changed.notify_all();
    }
    // Waits until the last report is `state`.
    bool waitFor(std::optional<bool> state, std::chrono::seconds timeout) {
        std::unique_lock hold(lock);
        return changed.wait_for(hold, timeout,
                                [&] { return !seen.empty() && seen.back() == state; });
    }
};

} // namespace

TEST(MuteFollowing, FollowsAQtClientsMuteButtonOverTheAccessibilityBus) {
    AccessibleDesktop desktop("640x480x24", std::chrono::seconds(20));
    if (!desktop.missing.empty())
        GTEST_SKIP() << desktop.missing << " is not installed";
    ASSERT_TRUE(desktop.failed.empty()) << desktop.failed;
    auto env = desktop.env;

    // Off until switched on; asking does not start the launcher.
    EXPECT_FALSE(AccessibilityBus::isEnabled());
    ASSERT_TRUE(AccessibilityBus::enable());
    EXPECT_TRUE(AccessibilityBus::isEnabled());

    env["QT_QPA_PLATFORM"] = "xcb";
    env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1";
    Child client({TALLYVOX_MUTE_BUTTON_APP}, env);
    ASSERT_EQ(client.line(std::chrono::seconds(20)), std::optional<std::string>("ready"));

    Reports reports;
    AccessibilityMuteWatcher watcher([] { return std::make_unique<AtspiTree>(); }, client.pid(),
                                     std::nullopt, {},
                                     [&](std::optional<bool> state) { reports.add(state); });
    watcher.start();
    // "Mute" offers to mute: the microphone is on. The client may join the bus late, and
    // after five seconds without it the walk runs every tenth second.
    ASSERT_TRUE(reports.waitFor(false, std::chrono::seconds(30)));

    client.write("toggle\n");
    ASSERT_EQ(client.line(std::chrono::seconds(5)), std::optional<std::string>("Unmute"));
    EXPECT_TRUE(reports.waitFor(true, std::chrono::seconds(5)));

    client.write("toggle\n");
    ASSERT_EQ(client.line(std::chrono::seconds(5)), std::optional<std::string>("Mute"));
    EXPECT_TRUE(reports.waitFor(false, std::chrono::seconds(5)));
    watcher.stop();

    std::lock_guard hold(reports.lock);
    EXPECT_EQ(reports.seen, (std::vector<std::optional<bool>>{false, true, false}));
}

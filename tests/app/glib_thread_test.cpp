#include "app/linux/GlibThread.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace tallyvox::linux_services {
namespace {

// A task runs inside a GLib callback: what it throws must reach the caller waiting in sync(),
// not unwind through GLib, and the thread goes on serving.
TEST(GlibThread, TaskThatThrowsReachesTheCallerAndTheThreadGoesOn) {
    GlibThread glib;
    EXPECT_THROW(glib.sync([] { throw std::runtime_error("bus gone"); }), std::runtime_error);

    std::thread::id ranOn;
    glib.sync([&] { ranOn = std::this_thread::get_id(); });
    EXPECT_NE(ranOn, std::thread::id());
    EXPECT_NE(ranOn, std::this_thread::get_id());
}

} // namespace
} // namespace tallyvox::linux_services

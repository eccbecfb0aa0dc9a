#include "base/CallbackBarrier.h"
#include "base/Log.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace tallyvox {
namespace {

TEST(CallbackBarrier, StopsWhatTheBodyThrowsLogsItAndAnswersTheFallback) {
    Log::Capture log;
    int ran = 0;
    callbackBarrier("stream state", [&] {
        ++ran;
        throw std::runtime_error("device vanished");
    });
    EXPECT_EQ(callbackBarrier("source list", -1, [] { return 3; }), 3);
    EXPECT_EQ(callbackBarrier("sleep signal", -1, []() -> int { throw 42; }), -1);

    EXPECT_EQ(ran, 1);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "Callback stream state threw: device vanished",
                               "Callback sleep signal threw something that is no std::exception"}));
}

} // namespace
} // namespace tallyvox

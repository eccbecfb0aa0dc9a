#include "base/Log.h"

#include <gtest/gtest.h>

#include <thread>

using namespace tallyvox;

TEST(Log, CaptureSeesTheFilledInTextAndLevelWhileItLives) {
    {
        Log::Capture capture;
        Log::info("Downloading {} model files", 2);
        Log::error("Settings not saved: {}", "No space left on device");
        Log::debug("window {:.1f} s", 20.04);
        auto lines = capture.lines();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0].text, "Downloading 2 model files");
        EXPECT_EQ(lines[1].level, spdlog::level::err);
        EXPECT_TRUE(capture.contains("Settings not saved: No space left on device"));
        EXPECT_TRUE(capture.contains("window 20.0 s"));
    }
    Log::Capture later;
    Log::info("after");
    EXPECT_EQ(later.texts(), std::vector<std::string>{"after"});
}

TEST(Log, LinesFromOtherThreadsAreCaptured) {
    Log::Capture capture;
    std::thread worker([] { Log::info("from the queue"); });
    worker.join();
    EXPECT_TRUE(capture.contains("from the queue"));
}

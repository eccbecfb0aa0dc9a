#include "base/EventLoop.h"
#include "base/SerialQueue.h"
#include "fakes/ManualExecutor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <vector>

using namespace tallyvox;
using tallyvox::testing::ManualClock;
using tallyvox::testing::ManualExecutor;

TEST(ManualExecutor, RunsDelayedTasksAtTheirVirtualTimeInOrder) {
    ManualClock clock;
    ManualExecutor executor(clock);
    std::vector<std::string> ran;
    executor.postAfter(Executor::Duration(2.0),
                       [&] { ran.push_back("late@" + std::to_string(int(clock.elapsed()))); });
    executor.postAfter(Executor::Duration(1.0),
                       [&] { ran.push_back("early@" + std::to_string(int(clock.elapsed()))); });
    executor.post([&] { ran.push_back("now"); });

    executor.runUntilIdle();
    EXPECT_EQ(ran, (std::vector<std::string>{"now"}));
    executor.advance(1.5);
    EXPECT_EQ(ran, (std::vector<std::string>{"now", "early@1"}));
    executor.advance(10);
    EXPECT_EQ(ran, (std::vector<std::string>{"now", "early@1", "late@2"}));
    EXPECT_DOUBLE_EQ(clock.elapsed(), 11.5);
}

TEST(ManualExecutor, RepeatingTimerFiresEachIntervalUntilCancelled) {
    ManualClock clock;
    ManualExecutor executor(clock);
    int ticks = 0;
    auto timer = executor.repeating(Executor::Duration(1.0), [&] { ++ticks; });
    executor.advance(3.5);
    EXPECT_EQ(ticks, 3);
    timer.cancel();
    executor.advance(5);
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(executor.pendingCount(), 0u) << "a cancelled timer must not keep rescheduling";
}

TEST(ManualExecutor, TimerCancelledFromItsOwnTaskStops) {
    ManualClock clock;
    ManualExecutor executor(clock);
    int ticks = 0;
    TaskHandle timer;
    timer = executor.repeating(Executor::Duration(1.0), [&] {
        if (++ticks == 2)
            timer.cancel();
    });
    executor.advance(10);
    EXPECT_EQ(ticks, 2);
}

TEST(ManualExecutor, CancelledDelayedTaskNeverRuns) {
    ManualClock clock;
    ManualExecutor executor(clock);
    bool ran = false;
    auto handle = executor.postAfter(Executor::Duration(1.0), [&] { ran = true; });
    handle.cancel();
    executor.advance(2);
    EXPECT_FALSE(ran);
}

TEST(SerialQueue, RunsTasksOneAtATimeInPostedOrderOffTheCallingThread) {
    SerialQueue queue("com.tallyvox.test");
    std::vector<int> order;
    std::atomic<bool> onQueue{true};
    for (int i = 0; i < 100; ++i)
        queue.post([&, i] {
            order.push_back(i);
            onQueue = onQueue && queue.isCurrent();
        });
    queue.sync([] {});
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_TRUE(onQueue);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, SyncFromInsideTheQueueRunsInlineInsteadOfDeadlocking) {
    SerialQueue queue("com.tallyvox.test");
    bool inner = false;
    queue.sync([&] { queue.sync([&] { inner = true; }); });
    EXPECT_TRUE(inner);
}

TEST(SerialQueue, SyncPassesExceptionsToTheCaller) {
    SerialQueue queue("com.tallyvox.test");
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    bool stillRuns = false;
    queue.sync([&] { stillRuns = true; });
    EXPECT_TRUE(stillRuns);
}

TEST(SerialQueue, RepeatingTimerRunsOnTheQueue) {
    SerialQueue queue("com.tallyvox.test");
    std::promise<void> thrice;
    int ticks = 0;
    auto timer = queue.repeating(Executor::Duration(0.005), [&] {
        if (++ticks == 3)
            thrice.set_value();
    });
    thrice.get_future().wait();
    timer.cancel();
    queue.sync([] {});
    EXPECT_GE(ticks, 3);
}

TEST(EventLoop, QuitFromATaskEndsRunAndPostsFromOtherThreadsArrive) {
    EventLoop loop;
    std::vector<int> seen;
    std::thread other([&] {
        loop.post([&] { seen.push_back(1); });
        loop.postAfter(Executor::Duration(0.01), [&] {
            seen.push_back(2);
            loop.quit();
        });
    });
    loop.run();
    other.join();
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST(SerialQueue, FastForwardRunsTimersInOrderWithoutWaiting) {
    SerialQueue queue("com.tallyvox.test", EventLoop::Pace::fastForward);
    std::vector<int> ticks;
    std::promise<void> done;
    auto started = std::chrono::steady_clock::now();
    TaskHandle timer;
    queue.sync([&] {
        timer = queue.repeating(Executor::Duration(1000.0), [&] { ticks.push_back(1); });
        queue.postAfter(Executor::Duration(3600.0), [&] {
            ticks.push_back(2);
            timer.cancel();
            done.set_value();
        });
    });
    done.get_future().wait();
    queue.sync([] {});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(ticks, (std::vector<int>{1, 1, 1, 2})) << "three 1000 s ticks come before 3600 s";
}

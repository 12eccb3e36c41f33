// The product's main loop: background results come back on the main thread,
// timers keep their order, cancelled timers stay silent, and a quit waits for
// queued background work.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Async.h"
#include "platform/Task.h"
#include "platform/linux/GlibMainLoop.h"

using vell::platform::GlibMainLoop;

TEST(GlibMainLoopTest, BackgroundResultComesBackOnTheMainThread) {
    GlibMainLoop loop;
    const auto mainThread = std::this_thread::get_id();
    std::thread::id workerThread, resumedOn;
    auto body = [&]() -> vell::Task<int> {
        int value = co_await vell::onBackground(loop, [&] {
            workerThread = std::this_thread::get_id();
            return 7;
        });
        resumedOn = std::this_thread::get_id();
        co_return value;
    };
    auto task = body();
    ASSERT_TRUE(loop.runUntil([&] { return task.done(); }, 10));
    EXPECT_EQ(task.get(), 7);
    EXPECT_NE(workerThread, mainThread);
    EXPECT_EQ(resumedOn, mainThread);
}

TEST(GlibMainLoopTest, TimersFireInOrderAndCancelledOnesNever) {
    GlibMainLoop loop;
    std::vector<int> fired;
    loop.after(0.06, [&] { fired.push_back(3); });
    loop.after(0.02, [&] { fired.push_back(1); });
    loop.after(0.04, [&] { fired.push_back(2); });
    loop.after(0.03, [&] { fired.push_back(99); }).cancel();
    int ticks = 0;
    vell::platform::MainLoop::Timer repeating;
    repeating = loop.every(0.01, [&] {
        if (++ticks == 3) repeating.cancel();
    });
    ASSERT_TRUE(loop.runUntil([&] { return fired.size() == 3; }, 10));
    loop.runFor(0.05);
    EXPECT_EQ(fired, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(ticks, 3);
}

// What a quit relies on: background work queued before is over when the wait
// returns, and work queued after still runs.
TEST(GlibMainLoopTest, FinishingBackgroundWorkWaitsForEveryQueuedJob) {
    GlibMainLoop loop;
    std::atomic<int> finished{0};
    for (int i = 0; i < 12; ++i)
        loop.background([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ++finished;
        });
    loop.finishBackgroundWork();
    EXPECT_EQ(finished, 12);
    loop.background([&] { ++finished; });
    loop.finishBackgroundWork();
    EXPECT_EQ(finished, 13);
}

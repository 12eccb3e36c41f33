// The coroutine plumbing every flow stands on: tasks, timers on the virtual
// clock, background hand-offs and callback answers.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "VirtualLoop.h"
#include "platform/Async.h"
#include "platform/Task.h"

using vell::Resolver;
using vell::Task;
using vell::test::VirtualLoop;

namespace {

Task<int> answerLater(VirtualLoop& loop, double seconds, int value) {
    co_await vell::sleep(loop, seconds);
    co_return value;
}

Task<int> failLater(VirtualLoop& loop) {
    co_await vell::sleep(loop, 1.0);
    throw std::runtime_error("broken");
}

}  // namespace

TEST(VirtualLoopTest, TimersFireAtTheirOwnInstantInOrder) {
    VirtualLoop loop;
    std::vector<std::string> fired;
    loop.after(0.3, [&] { fired.push_back("b@" + std::to_string(loop.now())); });
    loop.after(0.1, [&] { fired.push_back("a@" + std::to_string(loop.now())); });
    loop.advance(0.2);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0], "a@0.100000");
    loop.advance(0.2);
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[1], "b@0.300000");
    EXPECT_DOUBLE_EQ(loop.now(), 0.4);
}

TEST(VirtualLoopTest, RepeatingTimerStopsWhenCancelledFromItsOwnCallback) {
    VirtualLoop loop;
    int ticks = 0;
    vell::platform::MainLoop::Timer timer;
    timer = loop.every(0.1, [&] {
        if (++ticks == 30) timer.cancel();
    });
    loop.advance(10.0);
    EXPECT_EQ(ticks, 30);
    EXPECT_EQ(loop.pending(), 0u);
}

TEST(VirtualLoopTest, CancelledTimerNeverRuns) {
    VirtualLoop loop;
    bool ran = false;
    auto timer = loop.after(1.0, [&] { ran = true; });
    timer.cancel();
    loop.advance(5.0);
    EXPECT_FALSE(ran);
}

TEST(TaskTest, AwaitingATaskDeliversItsValueAfterItsSleep) {
    VirtualLoop loop;
    auto body = [&]() -> Task<int> {
        int a = co_await answerLater(loop, 0.7, 20);
        int b = co_await answerLater(loop, 0.7, 22);
        co_return a + b;
    };
    auto outer = body();
    loop.advance(1.0);
    EXPECT_FALSE(outer.done());
    loop.advance(0.4);
    ASSERT_TRUE(outer.done());
    EXPECT_EQ(outer.get(), 42);
}

TEST(TaskTest, ExceptionsTravelToTheAwaiter) {
    VirtualLoop loop;
    std::string caught;
    auto body = [&]() -> Task<> {
        try {
            co_await failLater(loop);
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
    };
    auto outer = body();
    loop.advance(1.0);
    EXPECT_TRUE(outer.done());
    EXPECT_EQ(caught, "broken");
}

TEST(TaskTest, DetachedTaskRunsToItsEnd) {
    VirtualLoop loop;
    bool finished = false;
    auto body = [&]() -> Task<> {
        co_await vell::sleep(loop, 2.0);
        finished = true;
    };
    { auto task = body(); }  // dropped while suspended
    loop.advance(2.0);
    EXPECT_TRUE(finished);
}

TEST(AsyncTest, BackgroundWorkResumesOnTheLoopWithItsResult) {
    VirtualLoop loop;
    auto body = [&]() -> Task<std::string> {
        std::string value = co_await vell::onBackground(loop, [] { return std::string("from elsewhere"); });
        co_return value;
    };
    auto task = body();
    EXPECT_FALSE(task.done());
    loop.runUntilIdle();
    ASSERT_TRUE(task.done());
    EXPECT_EQ(task.get(), "from elsewhere");
    EXPECT_EQ(loop.backgroundJobs(), 1);
}

TEST(AsyncTest, BackgroundFailureIsRethrownInTheFlow) {
    VirtualLoop loop;
    auto body = [&]() -> Task<> { co_await vell::onBackground(loop, [] { throw std::logic_error("no"); }); };
    auto task = body();
    loop.runUntilIdle();
    ASSERT_TRUE(task.done());
    EXPECT_THROW(task.get(), std::logic_error);
}

TEST(AsyncTest, FirstAnswerWinsBetweenCallbackAndTimeout) {
    VirtualLoop loop;
    Resolver<bool>* saved = nullptr;
    std::optional<Resolver<bool>> keep;
    auto body = [&]() -> Task<bool> {
        bool served = co_await vell::untilCalled<bool>(loop, [&](Resolver<bool> answer) {
            keep.emplace(answer);
            saved = &*keep;
            loop.after(1.5, [answer] { answer(false); });
        });
        co_return served;
    };
    auto task = body();
    loop.advance(0.5);
    (*saved)(true);
    loop.runUntilIdle();
    ASSERT_TRUE(task.done());
    EXPECT_TRUE(task.get());
    loop.advance(2.0);  // the late time-out answer is ignored, nothing resumes twice
    EXPECT_TRUE(task.get());
}

// The coroutine plumbing every flow stands on: tasks, sleeps on the virtual
// clock, background hand-offs and callback answers.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "VirtualLoop.h"
#include "platform/Async.h"
#include "platform/Task.h"

using vell::Resolver;
using vell::Task;
using vell::test::VirtualLoop;

namespace {

Task<int> answerLater(VirtualLoop& loop, double seconds, int value) {
    co_await vell::sleep(loop, seconds);
    if (value < 0) throw std::runtime_error("broken");
    co_return value;
}

TEST(TaskTest, AwaitedTasksDeliverTheirValuesAndExceptionsAfterTheirSleeps) {
    VirtualLoop loop;
    std::string caught;
    auto body = [&]() -> Task<int> {
        int sum = co_await answerLater(loop, 0.7, 20);
        sum += co_await answerLater(loop, 0.7, 22);
        try {
            co_await answerLater(loop, 1.0, -1);
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        co_return sum;
    };
    auto outer = body();
    loop.advance(1.0);
    EXPECT_FALSE(outer.done());
    loop.advance(1.4);
    ASSERT_TRUE(outer.done());
    EXPECT_EQ(outer.get(), 42);
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

TEST(AsyncTest, BackgroundWorkResumesOnTheLoopWithItsResultOrItsFailure) {
    VirtualLoop loop;
    auto body = [&](bool fail) -> Task<std::string> {
        co_return co_await vell::onBackground(loop, [fail] {
            if (fail) throw std::logic_error("no");
            return std::string("from elsewhere");
        });
    };
    auto task = body(false);
    auto failing = body(true);
    EXPECT_FALSE(task.done());
    loop.runUntilIdle();
    EXPECT_EQ(task.get(), "from elsewhere");
    EXPECT_THROW(failing.get(), std::logic_error);
    EXPECT_EQ(loop.backgroundJobs(), 2);
}

TEST(AsyncTest, FirstAnswerWinsBetweenCallbackAndTimeout) {
    VirtualLoop loop;
    std::optional<Resolver<bool>> answer;
    auto body = [&]() -> Task<bool> {
        co_return co_await vell::untilCalled<bool>(loop, [&](Resolver<bool> resolver) {
            answer.emplace(resolver);
            loop.after(1.5, [resolver] { resolver(false); });
        });
    };
    auto task = body();
    loop.advance(0.5);
    (*answer)(true);
    loop.advance(2.0);  // the late time-out answer is ignored, nothing resumes twice
    ASSERT_TRUE(task.done());
    EXPECT_TRUE(task.get());
}

}  // namespace

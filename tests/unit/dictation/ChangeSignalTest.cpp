// The change rule of the model: one "will change" signal per assignment, sent
// before the value is stored, also for an equal value.

#include <gtest/gtest.h>

#include <vector>

#include "ControllerFixture.h"
#include "dictation/ChangeSignal.h"

namespace vell::test {
namespace {

using dictation::ChangeSignal;

TEST(ChangeSignalTest, EveryAssignmentSignalsOnceBeforeTheValueChangesEvenWhenEqual) {
    ChangeSignal signal;
    dictation::Published<int> value(signal, 0);
    std::vector<int> seenDuringSignal;
    auto subscription = signal.subscribe([&] { seenDuringSignal.push_back(value.get()); });
    value.set(1);
    value.set(1);
    value.modify([](int& v) { v = 2; });
    EXPECT_EQ(seenDuringSignal, (std::vector<int>{0, 1, 1}));  // the old values: sent before the store
    EXPECT_EQ(value.get(), 2);
}

TEST(ChangeSignalTest, SubscriptionEndsWithItsHandleAndMayEndDuringASignal) {
    ChangeSignal signal;
    int first = 0, second = 0;
    ChangeSignal::Subscription secondSubscription;
    auto firstSubscription = signal.subscribe([&] {
        ++first;
        secondSubscription.cancel();  // the second observer must not be called any more
    });
    secondSubscription = signal.subscribe([&] { ++second; });
    signal.send();
    {
        auto scoped = signal.subscribe([&] { ++second; });
    }
    signal.send();
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 0);
}

TEST_F(ControllerTest, TimersDoNothingOnceTheControllerIsGone) {
    auto& c = make();
    session.signedIn = false;
    c.refreshSetup();
    c.begin(Mode::dictate);  // starts the 8 s clear timer
    session.signedIn = true;
    c.refreshSetup();
    c.begin(Mode::dictate);
    loop.runUntilIdle();
    ASSERT_EQ(c.phase(), Phase::recording(Mode::dictate));  // the meter is running
    std::weak_ptr<Controller> weak = std::exchange(controller, nullptr);
    EXPECT_TRUE(weak.expired());
    loop.advance(10);  // neither timer may touch the freed controller
    EXPECT_EQ(loop.pending(), 0u);
}

}  // namespace
}  // namespace vell::test

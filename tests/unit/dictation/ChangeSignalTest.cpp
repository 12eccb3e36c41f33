// The change rule of the model: one "will change" signal per assignment, sent
// before the value is stored, also for an equal value; and the value types'
// own equality.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "ControllerFixture.h"
#include "dictation/ChangeSignal.h"

using vell::dictation::ChangeSignal;
using vell::dictation::DictationController;
using vell::dictation::Published;

namespace {
using Phase = DictationController::Phase;
using Mode = DictationController::Mode;
}  // namespace

TEST(ChangeSignalTest, EveryAssignmentSignalsOnceBeforeTheValueChangesEvenWhenEqual) {
    ChangeSignal signal;
    Published<Phase> phase(signal, Phase::idle());
    std::vector<Phase> seenDuringSignal;
    auto subscription = signal.subscribe([&] { seenDuringSignal.push_back(phase.get()); });

    phase.set(Phase::recording(Mode::dictate));
    phase.set(Phase::recording(Mode::dictate));
    phase.modify([](Phase& p) { p = Phase::idle(); });

    ASSERT_EQ(seenDuringSignal.size(), 3u);
    EXPECT_EQ(seenDuringSignal[0], Phase::idle());  // the old value: sent before the store
    EXPECT_EQ(seenDuringSignal[1], Phase::recording(Mode::dictate));
    EXPECT_EQ(seenDuringSignal[2], Phase::recording(Mode::dictate));
    EXPECT_EQ(phase.get(), Phase::idle());
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
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);

    {
        auto scoped = signal.subscribe([&] { ++second; });
    }
    signal.send();
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 0);
}

namespace vell::test {

TEST_F(ControllerTest, AssigningAnEqualValueStillSignalsOnceBeforeTheChange) {
    auto& c = make();
    int signals = 0;
    std::vector<std::optional<std::string>> problemsSeen;
    auto subscription = c.objectWillChange().subscribe([&] {
        ++signals;
        problemsSeen.push_back(c.problem());
    });

    c.clearProblem();  // absent → absent
    EXPECT_EQ(signals, 1);
    c.clearHistory();  // empty → empty
    EXPECT_EQ(signals, 2);

    const auto before = c.setup();
    c.refreshSetup();
    c.refreshSetup();
    EXPECT_EQ(signals, 4);  // replacing the whole record is one assignment
    EXPECT_EQ(c.setup(), before);

    session.signedIn = false;
    c.refreshSetup();
    c.begin(Mode::dictate);  // reports: one assignment of problem, sent before the store
    EXPECT_EQ(signals, 6);
    EXPECT_EQ(problemsSeen.back(), std::nullopt);
    EXPECT_EQ(c.problem(), "Sign in first — it's in the checklist above.");
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
    std::weak_ptr<Controller> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired());
    loop.advance(10);  // neither timer may touch the freed controller
    EXPECT_EQ(loop.pending(), 0u);
}

}  // namespace vell::test

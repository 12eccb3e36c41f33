// The application being filled is killed in the middle of the fill, once
// while its fields are read and once between two writes: the fill ends with
// one sentence, nothing is recorded as filled, and there is nothing to undo.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>

#include "FillScene.h"

namespace {

using namespace vell::test;
using vell::platform::Accessibility;

struct Moment {
    const char* name;
    bool writing;  // else reading
    int after;     // requests of that kind, the last one answered before the kill
};

// AT-SPI as the fill engine sees it, with the target killed (and reaped, as
// its parent would) just after the chosen request came back.
class KillingAccessibility final : public Accessibility {
public:
    explicit KillingAccessibility(Moment moment) : moment_(moment) {}

    pid_t target = 0;  // set before the fill starts
    std::atomic<bool> killed{false};

    vell::platform::ElementRef application(pid_t pid) override { return real_.application(pid); }
    void setMessagingTimeout(const vell::platform::ElementRef& e, double seconds) override {
        real_.setMessagingTimeout(e, seconds);
    }
    int setAttribute(const vell::platform::ElementRef& e, Attribute attribute, const Value& value) override {
        const int status = real_.setAttribute(e, attribute, value);
        if (moment_.writing && attribute == Attribute::value) count();
        return status;
    }
    Reading read(const vell::platform::ElementRef& e, Attribute attribute) override {
        auto reading = real_.read(e, attribute);
        if (!moment_.writing) count();
        return reading;
    }
    bool isSettable(const vell::platform::ElementRef& e, Attribute attribute) override {
        return real_.isSettable(e, attribute);
    }

private:
    void count() {
        if (++requests_ != moment_.after) return;
        ::kill(target, SIGKILL);
        ::waitpid(target, nullptr, 0);
        killed = true;
    }

    vell::platform::AtspiAccessibility real_;
    const Moment moment_;
    std::atomic<int> requests_{0};
};

class TargetKilledTest : public ::testing::TestWithParam<Moment> {};

TEST_P(TargetKilledTest, TheFillEndsWithOneSentenceAndNothingToUndo) {
    KillingAccessibility accessibility(GetParam());
    FillScene scene(accessibility);
    ASSERT_TRUE(scene.formReadable());
    accessibility.target = scene.form.pid();

    ASSERT_TRUE(scene.fill());
    ASSERT_TRUE(accessibility.killed);
    auto& controller = *scene.controller;
    EXPECT_EQ(controller.problem(), "The window you were filling has gone.");
    EXPECT_TRUE(controller.history().empty());  // no report of fields "filled" in a window that is gone
    EXPECT_FALSE(controller.canUndoFill());
    controller.undoLastFill();
    EXPECT_EQ(controller.problem(), "The window you were filling has gone.");
}

const Moment moments[] = {
    {"WhileItsFieldsAreRead", false, 6},
    {"BetweenTwoWrites", true, 1},
};
INSTANTIATE_TEST_SUITE_P(Killed, TargetKilledTest, ::testing::ValuesIn(moments),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

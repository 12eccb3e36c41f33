// The setup checklist, the microphone permission and the start-at-login switch.

#include <gtest/gtest.h>

#include "ControllerFixture.h"

namespace vell::test {
namespace {

using Status = platform::LoginItem::Status;

class SetupTest : public ControllerTest {};

TEST_F(SetupTest, RequestMicrophoneReturnsAtOnceAndRefreshesAfterTheAnswer) {
    recorder.status = Authorisation::notDetermined;
    auto& c = make();
    c.requestMicrophone();
    EXPECT_EQ(recorder.permissionRequests, 0);
    loop.runUntilIdle();
    ASSERT_TRUE(recorder.promptOpen());
    EXPECT_EQ(c.setup().micStatus, Authorisation::notDetermined);
    recorder.answerPermission(true);
    loop.runUntilIdle();
    EXPECT_EQ(c.setup().micStatus, Authorisation::authorised);
    EXPECT_EQ(c.phase(), Phase::idle());  // asking is not recording
    EXPECT_EQ(recorder.starts, 0);
}

TEST_F(SetupTest, RequestMicrophoneWhenDeniedShowsNoPromptAndStaysDenied) {
    recorder.status = Authorisation::denied;
    auto& c = make();
    int signals = 0;
    auto subscription = c.subscribe([&] { ++signals; });
    c.requestMicrophone();
    loop.runUntilIdle();
    EXPECT_FALSE(recorder.promptOpen());
    EXPECT_EQ(c.setup().micStatus, Authorisation::denied);
    EXPECT_EQ(signals, 1);  // the refresh
}

TEST_F(SetupTest, ARegistrationThatNeedsApprovalLeavesTheSwitchOffWithoutAMessage) {
    loginItem.afterRegister = Status::requiresApproval;
    auto& c = make();
    int signals = 0;
    auto subscription = c.subscribe([&] { ++signals; });
    c.setLaunchAtLogin(true);
    EXPECT_FALSE(c.launchAtLogin());
    EXPECT_EQ(signals, 1);  // assigned all the same
    EXPECT_EQ(c.problem(), std::nullopt);
}

TEST_F(SetupTest, ARefusalIsReportedAndTheSwitchKeepsItsValue) {
    loginItem.current = Status::enabled;
    auto& c = make();
    loginItem.failure = "The autostart folder is not writable.";
    c.setLaunchAtLogin(false);
    EXPECT_TRUE(c.launchAtLogin());
    EXPECT_EQ(c.problem(), "Could not change the login item: The autostart folder is not writable.");

    loginItem.current = Status::notRegistered;
    auto& fresh = make();
    fresh.setLaunchAtLogin(true);
    EXPECT_FALSE(fresh.launchAtLogin());
    EXPECT_EQ(fresh.problem(), "Could not change the login item: The autostart folder is not writable.");
    loop.advance(8);
    EXPECT_EQ(fresh.problem(), std::nullopt);
}

}  // namespace
}  // namespace vell::test

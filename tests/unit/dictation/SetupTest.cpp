// The setup checklist, the microphone permission and the start-at-login switch.

#include <gtest/gtest.h>

#include "ControllerFixture.h"

namespace vell::test {
namespace {

using Status = platform::LoginItem::Status;
using SetupTest = ControllerTest;

TEST_F(SetupTest, RequestMicrophoneReturnsAtOnceAndRefreshesAfterTheAnswer) {
    for (const auto status : {Authorisation::notDetermined, Authorisation::denied}) {
        recorder.status = status;
        auto& c = make();
        c.requestMicrophone();
        EXPECT_EQ(recorder.permissionRequests, 0);
        loop.runUntilIdle();
        EXPECT_EQ(recorder.promptOpen(), status == Authorisation::notDetermined);  // no prompt once denied
        EXPECT_EQ(c.setup().micStatus, status);
        if (recorder.promptOpen()) recorder.answerPermission(true);
        loop.runUntilIdle();
        EXPECT_EQ(c.setup().micStatus, status == Authorisation::denied ? status : Authorisation::authorised);
        EXPECT_EQ(c.phase(), Phase::idle());  // asking is not recording
        EXPECT_EQ(recorder.starts, 0);
        recorder.permissionRequests = 0;
    }
}

TEST_F(SetupTest, TheSwitchShowsWhatTheSystemKeptAndARefusalIsReported) {
    struct Row {
        Status before, afterRegister;
        const char* failure;
        bool on;
        bool shown;
    };
    const Row rows[] = {{Status::notRegistered, Status::enabled, nullptr, true, true},
                        {Status::notRegistered, Status::requiresApproval, nullptr, true, false},  // told nothing
                        {Status::enabled, Status::enabled, nullptr, false, false},
                        {Status::enabled, Status::enabled, "The autostart folder is not writable.", false, true},
                        {Status::notRegistered, Status::enabled, "The autostart folder is not writable.", true, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.shown);
        loginItem.current = row.before;
        loginItem.afterRegister = row.afterRegister;
        loginItem.failure.reset();
        auto& c = make();
        if (row.failure) loginItem.failure = row.failure;
        int signals = 0;
        auto subscription = c.subscribe([&] { ++signals; });
        c.setLaunchAtLogin(row.on);
        EXPECT_EQ(c.launchAtLogin(), row.shown);
        EXPECT_EQ(signals, 1);  // the switch, or the report
        EXPECT_EQ(c.problem(), row.failure
                                   ? std::optional(std::string("Could not change the login item: ") + row.failure)
                                   : std::nullopt);
    }
}

}  // namespace
}  // namespace vell::test

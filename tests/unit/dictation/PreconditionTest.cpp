// What each request checks before it starts anything, in which order, and the
// one line the person reads when a check fails.

#include <gtest/gtest.h>

#include "ControllerFixture.h"

namespace vell::test {
namespace {

enum class Request { dictate, fill, note };
enum class Front { editor, ownPanel, nothing };

struct Refusal {
    Request request;
    bool signedIn = true;
    bool microphone = true;
    platform::AudioInput::Authorisation access = platform::AudioInput::Authorisation::authorised;
    bool trusted = true;
    Front front = Front::editor;
    const char* problem = nullptr;
};

constexpr const char* signIn = "Sign in first — it's in the checklist above.";
constexpr const char* noMicrophone = "No microphone found on this computer. Connect one — AirPods work.";
constexpr const char* accessOff = "Microphone access is off — turn it on in Settings › Privacy.";
constexpr const char* fillAccessibility = "Fill needs Accessibility — grant it in the checklist above.";
constexpr const char* fillClickInto = "Click into the app you want to fill first, then press Fill.";
constexpr const char* noteAccessibility = "Insert needs Accessibility — grant it in the checklist above.";
constexpr const char* noteClickInto = "Click into the app you want to fill first, then press Insert.";
constexpr auto denied = platform::AudioInput::Authorisation::denied;

class PreconditionTest : public ControllerTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(PreconditionTest, TheFirstFailingCheckIsToldAndNothingStarts) {
    const Refusal& row = GetParam();
    session.signedIn = row.signedIn;
    if (!row.microphone) recorder.device.reset();
    recorder.status = row.access;
    desktop.trusted = row.trusted;
    if (row.front == Front::ownPanel)
        desktop.front = std::make_shared<ApplicationDouble>(DesktopDouble::ownPid, "Vell");
    if (row.front == Front::nothing) desktop.front.reset();
    auto& c = make();

    if (row.request == Request::dictate) c.begin(Mode::dictate);
    if (row.request == Request::fill) c.toggleFill();
    if (row.request == Request::note) c.fillFromNote("n1", "Trip");
    loop.advance(5);

    EXPECT_EQ(c.problem(), row.problem);
    EXPECT_EQ(c.phase(), Phase::idle());
    EXPECT_EQ(recorder.starts, 0);
    EXPECT_EQ(recorder.permissionRequests, 0);
    EXPECT_TRUE(fillEngine.enumerations.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Requests, PreconditionTest,
    ::testing::Values(
        Refusal{
            .request = Request::dictate, .signedIn = false, .microphone = false, .access = denied, .problem = signIn},
        Refusal{.request = Request::dictate, .microphone = false, .access = denied, .problem = noMicrophone},
        Refusal{.request = Request::dictate, .access = denied, .problem = accessOff},
        Refusal{.request = Request::fill, .signedIn = false, .problem = signIn},
        Refusal{.request = Request::fill, .signedIn = false, .trusted = false, .problem = fillAccessibility},
        Refusal{.request = Request::fill, .trusted = false, .front = Front::ownPanel, .problem = fillAccessibility},
        Refusal{.request = Request::fill, .front = Front::ownPanel, .problem = fillClickInto},
        Refusal{.request = Request::fill, .front = Front::nothing, .problem = fillClickInto},
        Refusal{.request = Request::note, .trusted = false, .front = Front::ownPanel, .problem = noteAccessibility},
        Refusal{.request = Request::note, .front = Front::ownPanel, .problem = noteClickInto},
        Refusal{.request = Request::note, .front = Front::nothing, .problem = noteClickInto}));

using StartTest = ControllerTest;

TEST_F(StartTest, ARestrictedMicrophoneIsLeftToTheRecorder) {
    recorder.status = platform::AudioInput::Authorisation::restricted;
    auto& c = make();
    c.begin(Mode::dictate);
    loop.runUntilIdle();
    EXPECT_EQ(recorder.starts, 1);
    EXPECT_EQ(c.problem(), std::nullopt);
}

}  // namespace
}  // namespace vell::test

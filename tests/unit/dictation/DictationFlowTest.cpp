// Dictation from the start request to the words at the cursor: preconditions,
// permission, meter and clock, the stop, transcription, delivery, the problem
// line and the history.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ControllerFixture.h"

namespace vell::test {
namespace {

class DictationTest : public ControllerTest {};

// ---- start and stop ------------------------------------------------------------------------

TEST_F(DictationTest, ATapShorterThanTheMinimumLeavesNoFileNoUploadNoMessage) {
    auto& c = make();
    c.begin(Mode::dictate);
    EXPECT_EQ(c.phase(), Phase::idle());  // the start runs as its own step
    loop.runUntilIdle();
    EXPECT_EQ(c.phase(), Phase::recording(Mode::dictate));
    loop.advance(0.2);
    c.finish();
    EXPECT_EQ(c.phase(), Phase::idle());
    loop.advance(20);
    ASSERT_EQ(recorder.stopMinimums, std::vector<double>{0.25});
    EXPECT_FALSE(anyRecordingLeft());
    EXPECT_TRUE(recogniser.calls.empty());
    EXPECT_EQ(c.problem(), std::nullopt);
    EXPECT_TRUE(c.history().empty());
}

TEST_F(DictationTest, PreconditionsAreCheckedInOrderAgainstTheStoredSetup) {
    session.signedIn = false;
    recorder.device.reset();
    recorder.status = Authorisation::denied;
    auto& c = make();

    c.begin(Mode::dictate);
    EXPECT_EQ(c.problem(), "Sign in first — it's in the checklist above.");

    session.signedIn = true;
    c.begin(Mode::dictate);  // no refresh yet: the stored setup still says signed out
    EXPECT_EQ(c.problem(), "Sign in first — it's in the checklist above.");

    c.refreshSetup();
    c.begin(Mode::dictate);
    EXPECT_EQ(c.problem(), "No microphone found on this computer. Connect one — AirPods work.");

    recorder.device = "USB Microphone";
    c.refreshSetup();
    c.begin(Mode::dictate);
    EXPECT_EQ(c.problem(), "Microphone access is off — turn it on in Settings › Privacy.");

    loop.runUntilIdle();
    EXPECT_EQ(recorder.starts, 0);
    EXPECT_EQ(recorder.permissionRequests, 0);

    recorder.status = Authorisation::restricted;  // passes; the recorder decides
    c.refreshSetup();
    c.begin(Mode::dictate);
    loop.runUntilIdle();
    EXPECT_EQ(recorder.starts, 1);
    EXPECT_EQ(c.phase(), Phase::recording(Mode::dictate));
}

TEST_F(DictationTest, RefusedPermissionStaysIdleSilentlyAndRefreshesTheSetup) {
    recorder.status = Authorisation::notDetermined;
    auto& c = make();
    c.begin(Mode::dictate);
    loop.runUntilIdle();
    ASSERT_TRUE(recorder.promptOpen());
    EXPECT_EQ(c.phase(), Phase::idle());

    recorder.answerPermission(false);
    loop.runUntilIdle();
    EXPECT_EQ(c.phase(), Phase::idle());
    EXPECT_EQ(c.problem(), std::nullopt);
    EXPECT_EQ(recorder.starts, 0);
    EXPECT_EQ(c.setup().micStatus, Authorisation::denied);
}

TEST_F(DictationTest, GrantedPermissionStartsTheRecordingAndASecondStartMeanwhileIsTurnedAway) {
    recorder.status = Authorisation::notDetermined;
    auto& c = make();
    c.begin(Mode::dictate);
    loop.runUntilIdle();
    c.begin(Mode::dictate);  // the prompt is still open
    loop.runUntilIdle();
    EXPECT_EQ(recorder.permissionRequests, 1);

    recorder.answerPermission(true);
    loop.runUntilIdle();
    EXPECT_EQ(c.phase(), Phase::recording(Mode::dictate));
    EXPECT_EQ(recorder.starts, 1);
    EXPECT_EQ(c.setup().micStatus, Authorisation::authorised);

    loop.advance(1);
    c.finish();
    loop.advance(5);
    EXPECT_EQ(recorder.files.size(), 1u);
    EXPECT_FALSE(anyRecordingLeft());
}

TEST_F(DictationTest, RecorderThatCannotStartIsReported) {
    recorder.failToStart = true;
    auto& c = make();
    c.begin(Mode::dictate);
    loop.runUntilIdle();
    EXPECT_EQ(c.phase(), Phase::idle());
    EXPECT_EQ(c.problem(), "Could not start the microphone.");

    recorder.failToStart = false;  // the next request may start again
    c.begin(Mode::dictate);
    loop.runUntilIdle();
    EXPECT_EQ(c.phase(), Phase::recording(Mode::dictate));
}

TEST_F(DictationTest, FinishOutsideARecordingDoesNothing) {
    auto& c = make();
    int signals = 0;
    auto subscription = c.subscribe([&] { ++signals; });
    c.finish();
    EXPECT_EQ(signals, 0);
    EXPECT_TRUE(recorder.stopMinimums.empty());
}

// ---- meter and clock -----------------------------------------------------------------------

struct LevelCase {
    std::optional<float> power;
    double level;
};

class LevelTest : public ControllerTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(LevelTest, LevelIsLinearInDecibelsFromMinus50To0) {
    recorder.power = GetParam().power;
    auto& c = make();
    c.begin(Mode::dictate);
    loop.runUntilIdle();
    loop.advance(0.1);
    EXPECT_DOUBLE_EQ(c.micLevel(), GetParam().level);
    c.finish();
    EXPECT_EQ(c.micLevel(), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Decibels, LevelTest,
                         ::testing::Values(LevelCase{-60.0f, 0.0}, LevelCase{-50.0f, 0.0}, LevelCase{-25.0f, 0.5},
                                           LevelCase{0.0f, 1.0}, LevelCase{3.0f, 1.0}, LevelCase{std::nullopt, 0.0}));

TEST_F(DictationTest, ElapsedCountsMeterTicksKeepsItsValueAfterStopAndRestartsAtZero) {
    auto& c = make();
    c.begin(Mode::dictate);
    loop.runUntilIdle();
    loop.advance(0.05);
    EXPECT_EQ(c.elapsed(), 0.0);  // first tick 0.1 s after the start
    loop.advance(2.95);
    EXPECT_NEAR(c.elapsed(), 3.0, 0.1);
    c.finish();
    const double stopped = c.elapsed();
    loop.advance(2);
    EXPECT_EQ(c.elapsed(), stopped);
    c.begin(Mode::dictate);
    loop.runUntilIdle();
    EXPECT_EQ(c.elapsed(), 0.0);
    loop.advance(0.1);
    EXPECT_NEAR(c.elapsed(), 0.1, 1e-9);
}

TEST_F(DictationTest, EachTickAnnouncesLevelThenClockSeparately) {
    auto& c = make();
    c.begin(Mode::dictate);
    loop.runUntilIdle();
    int signals = 0;
    auto subscription = c.subscribe([&] { ++signals; });
    loop.advance(1.0);
    EXPECT_EQ(signals, 20);  // ten ticks, two assignments each
}

// ---- transcription and delivery ------------------------------------------------------------

TEST_F(DictationTest, TranscriptIsPastedAfterWillInsertAndRecordedBeforeThePasteLands) {
    auto& c = make();
    std::vector<std::string> order;
    c.willInsert = [&] { order.push_back("willInsert@" + std::to_string(loop.now())); };
    recogniser.text = "Dear Ada,";
    c.begin(Mode::dictate);
    loop.runUntilIdle();
    loop.advance(1);
    c.finish();
    EXPECT_EQ(c.phase(), Phase::transcribing(Mode::dictate));
    loop.advance(recogniser.uploadSeconds);
    ASSERT_EQ(recogniser.calls.size(), 1u);
    EXPECT_EQ(recogniser.calls[0].mimeType, "audio/m4a");
    EXPECT_TRUE(recogniser.calls[0].fileExisted);

    EXPECT_EQ(c.phase(), Phase::idle());
    ASSERT_EQ(c.history().size(), 1u);
    EXPECT_EQ(c.history()[0].text, "Dear Ada,");
    EXPECT_EQ(c.history()[0].mode, Mode::dictate);
    EXPECT_EQ(c.history()[0].delivery, Controller::Delivery::pasted);
    EXPECT_FALSE(c.history()[0].fill);
    EXPECT_EQ(order.size(), 1u);
    EXPECT_TRUE(paste.inserts.empty());  // 0.15 s later

    const double delivered = loop.now();
    loop.advance(0.2);
    ASSERT_EQ(paste.inserts.size(), 1u);
    EXPECT_EQ(paste.inserts[0].text, "Dear Ada,");
    EXPECT_NEAR(paste.inserts[0].at - delivered, 0.15, 1e-6);
    EXPECT_EQ(c.problem(), std::nullopt);
    EXPECT_TRUE(clipboard.texts.empty());
}

TEST_F(DictationTest, WithoutAccessibilityTheTextIsCopiedAndThePersonIsTold) {
    auto& c = make();  // granted when measured: delivery asks again at the moment of use
    desktop.trusted = false;
    recogniser.text = "copy me";
    bool willInsertRan = false;
    c.willInsert = [&] { willInsertRan = true; };
    dictate();
    EXPECT_EQ(clipboard.text, "copy me");
    EXPECT_EQ(c.problem(), "Copied — press Ctrl+V to paste. Grant Accessibility and this becomes automatic.");
    ASSERT_EQ(c.history().size(), 1u);
    EXPECT_EQ(c.history()[0].delivery, Controller::Delivery::copied);
    EXPECT_EQ(c.phase(), Phase::idle());
    loop.advance(1);
    EXPECT_TRUE(paste.inserts.empty());
    EXPECT_FALSE(willInsertRan);
}

TEST_F(DictationTest, EmptyTranscriptIsReportedAndNotRecorded) {
    auto& c = make();
    recogniser.text = "";
    dictate();
    EXPECT_EQ(c.problem(), "Didn't catch anything — was the microphone close enough?");
    EXPECT_TRUE(c.history().empty());
    EXPECT_EQ(c.phase(), Phase::idle());
    loop.advance(1);
    EXPECT_TRUE(paste.inserts.empty());
}

TEST_F(DictationTest, WhiteSpaceTranscriptIsDeliveredUntrimmed) {
    auto& c = make();
    recogniser.text = " ";
    dictate();
    ASSERT_EQ(c.history().size(), 1u);
    EXPECT_EQ(c.history()[0].text, " ");
}

TEST_F(DictationTest, RecogniserFailuresShowTheirDescriptions) {
    auto& c = make();
    for (const std::string description :
         {"Could not reach Vell. Check your connection.",
          "That was longer than a dictation — record it in the app instead.", "Sign in from the Vell panel first."}) {
        recogniser.error = std::make_exception_ptr(Error(description));
        dictate();
        EXPECT_EQ(c.problem(), description);
        EXPECT_EQ(c.phase(), Phase::idle());
    }
    EXPECT_TRUE(c.history().empty());
    EXPECT_FALSE(anyRecordingLeft());
}

TEST_F(DictationTest, TheRecordingFileIsGoneAfterEveryOutcome) {
    auto& c = make();
    auto check = [&](const char* outcome) {
        dictate();
        loop.advance(1);
        EXPECT_FALSE(anyRecordingLeft()) << outcome;
        EXPECT_TRUE(recogniser.calls.back().fileExisted) << outcome;
    };
    check("pasted");
    desktop.trusted = false;
    check("copied");
    recogniser.text = "";
    check("empty");
    recogniser.error = std::make_exception_ptr(Error("Could not reach Vell. Check your connection."));
    check("failed");
    EXPECT_EQ(recorder.files.size(), 4u);
    EXPECT_EQ(c.phase(), Phase::idle());
}

TEST_F(DictationTest, AFlowInProgressFinishesAndCleansUpEvenIfItsOwnerLetsGo) {
    auto& c = make();
    c.begin(Mode::dictate);
    loop.runUntilIdle();
    loop.advance(1);
    c.finish();
    std::weak_ptr<Controller> weak = controller;
    controller.reset();
    EXPECT_FALSE(weak.expired());  // the transcription still needs it
    loop.advance(recogniser.uploadSeconds + 0.01);
    EXPECT_TRUE(weak.expired());
    EXPECT_FALSE(anyRecordingLeft());
    loop.advance(1);
    EXPECT_TRUE(paste.inserts.empty());  // the delayed paste holds it weakly
}

TEST_F(DictationTest, StartRequestsDuringTranscriptionChangeNothing) {
    auto& c = make();
    c.begin(Mode::dictate);
    loop.runUntilIdle();
    loop.advance(1);
    c.finish();
    c.toggleFill();  // busy: ignored
    c.fillFromNote("n1", "Trip");
    c.finish();
    loop.runUntilIdle();
    EXPECT_EQ(c.phase(), Phase::transcribing(Mode::dictate));
    EXPECT_EQ(recorder.starts, 1);
    EXPECT_TRUE(fillEngine.enumerations.empty());
}

// ---- problem line and history --------------------------------------------------------------

TEST_F(DictationTest, TheProblemClearsEightSecondsAfterTheLatestReport) {
    session.signedIn = false;
    auto& c = make();
    c.begin(Mode::dictate);
    loop.advance(5);
    session.signedIn = true;
    recorder.device.reset();
    c.refreshSetup();
    c.begin(Mode::dictate);
    const auto second = c.problem();
    loop.advance(7.99);  // 12.99 s after the first report
    EXPECT_EQ(c.problem(), second);
    loop.advance(0.01);
    EXPECT_EQ(c.problem(), std::nullopt);
}

TEST_F(DictationTest, ReportingTheSameTextAgainRestartsTheTime) {
    session.signedIn = false;
    auto& c = make();
    c.begin(Mode::dictate);
    loop.advance(6);
    c.begin(Mode::dictate);
    loop.advance(6);
    EXPECT_TRUE(c.problem());
    loop.advance(2);
    EXPECT_FALSE(c.problem());
}

TEST_F(DictationTest, TheTwentyFirstEntryTrimsTheOldest) {
    auto& c = make();
    for (int i = 1; i <= 20; ++i) {
        recogniser.text = "take " + std::to_string(i);
        dictate();
    }
    ASSERT_EQ(c.history().size(), 20u);
    int signals = 0;
    auto subscription = c.subscribe([&] { ++signals; });
    recogniser.text = "take 21";
    dictate();
    ASSERT_EQ(c.history().size(), 20u);
    EXPECT_EQ(c.history().front().text, "take 21");
    EXPECT_EQ(c.history().back().text, "take 2");
    // start: phase, clock; ten ticks: level, clock; stop: level, phase;
    // arrival: insert, trim (one modification), phase
    EXPECT_EQ(signals, 2 + 10 * 2 + 2 + 3);
    EXPECT_NE(c.history()[0].id, c.history()[1].id);
}

}  // namespace
}  // namespace vell::test

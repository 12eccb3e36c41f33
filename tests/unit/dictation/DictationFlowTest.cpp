// Dictation from the start request to the words at the cursor: permission,
// the shortest take, meter and clock, transcription, delivery, the problem
// line and the history.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ControllerFixture.h"

namespace vell::test {
namespace {

using DictationTest = ControllerTest;

TEST_F(DictationTest, ATakeShorterThanAQuarterSecondLeavesNoFileNoUploadNoMessage) {
    struct Row {
        double hold;  // negative: released before the recording began (a quick tap)
        bool uploaded;
    };
    for (const Row row : {Row{-1, false}, Row{0.24, false}, Row{0.25, true}}) {
        SCOPED_TRACE(row.hold);
        auto& c = make();
        const auto uploads = recogniser.calls.size();
        c.begin(Mode::dictate);
        EXPECT_EQ(c.phase(), Phase::idle());  // the start runs as its own step
        if (row.hold < 0) c.finish();
        loop.runUntilIdle();
        if (row.hold >= 0) {
            EXPECT_EQ(c.phase(), Phase::recording(Mode::dictate));
            loop.advance(row.hold);
            c.finish();
        }
        EXPECT_EQ(c.phase(), row.uploaded ? Phase::transcribing(Mode::dictate) : Phase::idle());
        loop.advance(20);
        EXPECT_EQ(recogniser.calls.size(), uploads + row.uploaded);
        EXPECT_FALSE(anyRecordingLeft());
        EXPECT_EQ(c.problem(), std::nullopt);
    }
}

TEST_F(DictationTest, PermissionIsAskedOnceAndItsAnswerDecidesTheTake) {
    for (const bool granted : {false, true}) {
        SCOPED_TRACE(granted);
        recorder.status = Authorisation::notDetermined;
        recorder.permissionRequests = 0;
        auto& c = make();
        c.begin(Mode::dictate);
        loop.runUntilIdle();
        c.begin(Mode::dictate);  // the prompt is still open: turned away
        loop.runUntilIdle();
        EXPECT_EQ(c.phase(), Phase::idle());
        recorder.answerPermission(granted);
        loop.runUntilIdle();
        EXPECT_EQ(recorder.permissionRequests, 1);
        EXPECT_EQ(c.phase(), granted ? Phase::recording(Mode::dictate) : Phase::idle());
        EXPECT_EQ(recorder.starts, int{granted});
        EXPECT_EQ(c.setup().micStatus, granted ? Authorisation::authorised : Authorisation::denied);
        EXPECT_EQ(c.problem(), std::nullopt);
        c.finish();
    }
}

TEST_F(DictationTest, LevelIsLinearInDecibelsFromMinus50To0) {
    const std::pair<std::optional<float>, double> rows[] = {{-60.0f, 0.0}, {-50.0f, 0.0}, {-25.0f, 0.5},
                                                            {0.0f, 1.0},   {3.0f, 1.0},   {std::nullopt, 0.0}};
    for (const auto& [power, level] : rows) {
        recorder.power = power;
        auto& c = make();
        c.begin(Mode::dictate);
        loop.runUntilIdle();
        loop.advance(0.1);
        EXPECT_DOUBLE_EQ(c.micLevel(), level) << power.value_or(-999);
        c.finish();
        EXPECT_EQ(c.micLevel(), 0.0);
    }
}

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
}

TEST_F(DictationTest, TranscriptIsRecordedThenPastedAfterThePanelIsHidden) {
    auto& c = make();
    int hidden = 0;
    c.willInsert = [&] { ++hidden; };
    recogniser.text = "Dear Ada,";
    dictate();
    ASSERT_EQ(recogniser.calls.size(), 1u);
    EXPECT_EQ(recogniser.calls[0].mimeType, "audio/m4a");
    ASSERT_EQ(c.history().size(), 1u);
    EXPECT_EQ(c.history()[0].text, "Dear Ada,");
    EXPECT_EQ(c.history()[0].delivery, Controller::Delivery::pasted);
    EXPECT_EQ(hidden, 1);
    EXPECT_TRUE(paste.inserts.empty());  // 0.15 s later

    const double delivered = loop.now() - 0.01;
    loop.advance(0.2);
    ASSERT_EQ(paste.inserts.size(), 1u);
    EXPECT_EQ(paste.inserts[0].text, "Dear Ada,");
    EXPECT_NEAR(paste.inserts[0].at - delivered, 0.15, 1e-6);
    EXPECT_EQ(c.problem(), std::nullopt);
    EXPECT_TRUE(clipboard.texts.empty());
}

TEST_F(DictationTest, EveryOtherOutcomeIsToldAndDeletesTheRecording) {
    struct Row {
        const char* text;
        const char* error;
        bool trusted;
        const char* problem;
    };
    const Row rows[] = {
        {"copy me", nullptr, false, "Copied — press Ctrl+V to paste. Grant Accessibility and this becomes automatic."},
        {"", nullptr, true, "Didn't catch anything — was the microphone close enough?"},
        {"", "Could not reach Vell. Check your connection.", true, "Could not reach Vell. Check your connection."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.problem);
        auto& c = make();
        c.willInsert = [] { ADD_FAILURE() << "nothing to paste"; };
        recogniser.text = row.text;
        recogniser.error = row.error ? std::make_exception_ptr(Error(row.error)) : nullptr;
        desktop.trusted = row.trusted;
        clipboard.texts.clear();
        dictate();
        loop.advance(1);
        EXPECT_EQ(c.problem(), row.problem);
        EXPECT_EQ(c.phase(), Phase::idle());
        EXPECT_TRUE(paste.inserts.empty());
        EXPECT_TRUE(recogniser.calls.back().fileExisted);
        EXPECT_FALSE(anyRecordingLeft());
        const bool copied = !row.trusted;
        EXPECT_EQ(clipboard.texts, copied ? std::vector<std::string>{row.text} : std::vector<std::string>{});
        ASSERT_EQ(c.history().size(), std::size_t{copied});
        if (copied) {
            EXPECT_EQ(c.history()[0].delivery, Controller::Delivery::copied);
        }
    }
}

TEST_F(DictationTest, AFlowInProgressFinishesAndCleansUpEvenIfItsOwnerLetsGo) {
    make();
    controller->begin(Mode::dictate);
    loop.runUntilIdle();
    loop.advance(1);
    controller->finish();
    std::weak_ptr<Controller> weak = std::exchange(controller, nullptr);
    EXPECT_FALSE(weak.expired());  // the transcription still needs it
    loop.advance(recogniser.uploadSeconds + 0.01);
    EXPECT_TRUE(weak.expired());
    EXPECT_FALSE(anyRecordingLeft());
    loop.advance(1);
    EXPECT_TRUE(paste.inserts.empty());  // the delayed paste holds it weakly
}

TEST_F(DictationTest, StartRequestsWhileBusyChangeNothing) {
    auto& c = make();
    c.begin(Mode::dictate);
    loop.runUntilIdle();
    for (const auto busy : {Phase::recording(Mode::dictate), Phase::transcribing(Mode::dictate)}) {
        c.toggleFill();
        c.fillFromNote("n1", "Trip");
        loop.runUntilIdle();
        EXPECT_EQ(c.phase(), busy);
        loop.advance(1);
        c.finish();
    }
    EXPECT_EQ(recorder.starts, 1);
    EXPECT_TRUE(fillEngine.enumerations.empty());
    EXPECT_EQ(c.problem(), std::nullopt);
}

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

TEST_F(DictationTest, TheTwentyFirstEntryTrimsTheOldest) {
    auto& c = make();
    for (int i = 1; i <= 21; ++i) {
        recogniser.text = "take " + std::to_string(i);
        dictate();
    }
    ASSERT_EQ(c.history().size(), 20u);
    EXPECT_EQ(c.history().front().text, "take 21");
    EXPECT_EQ(c.history().back().text, "take 2");
}

}  // namespace
}  // namespace vell::test

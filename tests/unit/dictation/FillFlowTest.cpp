// Spoken fill, note fill, insertion from the web application and from the
// history, and undo.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "ControllerFixture.h"

namespace vell::test {
namespace {

using Applied = fill::FormAccess::Applied;
using Record = dictation::DictationController::FillReport::Record;

class FillTest : public ControllerTest {
protected:
    FillTest() {
        fillEngine.fields = {FillEngineDouble::field("f0", "Name"), FillEngineDouble::field("f1", "Email"),
                             FillEngineDouble::field("f2", "Phone")};
        fillService.mapping.values = {{"f0", "Ada Lovelace"}, {"f1", "ada@example.com"}, {"f2", "555 0100"}};
        fillService.mapping.unfilled = {"Company"};
        fillEngine.outcomes = {{"Name", "Ada Lovelace", Applied::applied},
                               {"Email", "ada@example.com", Applied::check},
                               {"Phone", "555 0100", Applied::failed}};
        recogniser.text = "my name is Ada Lovelace";
    }

    // Fill button, speak for a second, fill button; then everything runs out.
    void spokenFill() {
        controller->toggleFill();
        loop.runUntilIdle();
        loop.advance(1);
        controller->toggleFill();
        loop.advance(5);
    }

    void noteFill(const std::string& noteId, std::optional<std::string> title) {
        controller->fillFromNote(noteId, title);
        loop.advance(5);
    }
};

// ---- spoken fill ---------------------------------------------------------------------------

TEST_F(FillTest, SpokenFillGoesThroughEveryPhaseAndRecordsTheReport) {
    auto& c = make();
    c.toggleFill();
    loop.runUntilIdle();
    EXPECT_EQ(c.phase(), Phase::recording(Mode::fill));
    c.finish();  // what a hotkey release would do is the caller's business; finish itself ends any take
    loop.runUntilIdle();
    EXPECT_EQ(c.phase(), Phase::idle());  // too short: dropped

    c.toggleFill();
    loop.runUntilIdle();
    loop.advance(1);
    c.toggleFill();
    EXPECT_EQ(c.phase(), Phase::transcribing(Mode::fill));
    loop.advance(recogniser.uploadSeconds);
    EXPECT_EQ(c.phase(), Phase::filling());
    loop.advance(5);
    EXPECT_EQ(c.phase(), Phase::idle());

    ASSERT_EQ(fillEngine.enumerations.size(), 1u);
    EXPECT_EQ(fillEngine.enumerations[0], std::make_pair(pid_t{777}, 40));
    ASSERT_EQ(fillService.calls.size(), 1u);
    EXPECT_EQ(fillService.calls[0].source, (std::map<std::string, std::string>{{"transcript", recogniser.text}}));
    EXPECT_EQ(fillService.calls[0].fieldIds, (std::vector<std::string>{"f0", "f1", "f2"}));
    ASSERT_EQ(fillEngine.applied.size(), 1u);
    EXPECT_EQ(fillEngine.applied[0], fillService.mapping.values);
    EXPECT_GE(loop.backgroundJobs(), 2);  // enumeration and application off the main loop

    ASSERT_EQ(c.history().size(), 1u);
    const auto& entry = c.history()[0];
    EXPECT_EQ(entry.text, "my name is Ada Lovelace");
    EXPECT_EQ(entry.mode, Mode::fill);
    EXPECT_FALSE(entry.delivery);
    ASSERT_TRUE(entry.fill);
    EXPECT_EQ(entry.fill->appName, "Editor");
    EXPECT_EQ(entry.fill->unfilled, 1);
    EXPECT_EQ(entry.fill->outcomes, (std::vector<Record>{{"Name", "Ada Lovelace", true, true},
                                                         {"Email", "ada@example.com", true, false},
                                                         {"Phone", "555 0100", false, false}}));
    EXPECT_EQ(c.problem(), std::nullopt);
    EXPECT_FALSE(anyRecordingLeft());
    EXPECT_TRUE(paste.inserts.empty());
}

TEST_F(FillTest, FillButtonDuringADictationDoesNothing) {
    auto& c = make();
    c.begin(Mode::dictate);
    loop.runUntilIdle();
    c.toggleFill();
    loop.runUntilIdle();
    EXPECT_EQ(c.phase(), Phase::recording(Mode::dictate));
    EXPECT_EQ(recorder.starts, 1);
    EXPECT_EQ(c.problem(), std::nullopt);
}

TEST_F(FillTest, TargetIsTheApplicationInFrontAtTheRequest) {
    session.signedIn = false;
    auto& c = make();
    c.toggleFill();
    EXPECT_EQ(c.problem(), "Sign in first — it's in the checklist above.");
    // The stored target is what a later transcript would fill: prove it by a
    // fill whose front application changes after the request.
    session.signedIn = true;
    c.refreshSetup();
    c.toggleFill();
    loop.runUntilIdle();
    desktop.front = std::make_shared<ApplicationDouble>(999, "Other");
    loop.advance(1);
    c.toggleFill();
    loop.advance(5);
    ASSERT_EQ(fillEngine.enumerations.size(), 1u);
    EXPECT_EQ(fillEngine.enumerations[0].first, 777);
}

TEST_F(FillTest, TargetGoneBeforeTheTranscriptIsReported) {
    auto& c = make();
    auto editor = desktop.front;
    c.toggleFill();
    loop.runUntilIdle();
    loop.advance(1);
    c.toggleFill();
    editor->terminated = true;
    loop.advance(5);
    EXPECT_EQ(c.problem(), "The window you were filling has gone.");
    EXPECT_TRUE(fillEngine.enumerations.empty());
    EXPECT_TRUE(c.history().empty());
    EXPECT_EQ(c.phase(), Phase::idle());
    EXPECT_FALSE(anyRecordingLeft());
}

TEST_F(FillTest, NoFieldsNamesTheApplicationOrSaysThatApp) {
    fillEngine.fields.clear();
    auto& c = make();
    spokenFill();
    EXPECT_EQ(c.problem(),
              "Couldn't read any fields in Editor. Native apps work best; web forms will come with the Chrome "
              "extension.");
    desktop.front = std::make_shared<ApplicationDouble>(778, std::nullopt);
    spokenFill();
    EXPECT_EQ(c.problem(),
              "Couldn't read any fields in that app. Native apps work best; web forms will come with the Chrome "
              "extension.");
    EXPECT_TRUE(fillService.calls.empty());
    EXPECT_TRUE(c.history().empty());
    EXPECT_EQ(c.phase(), Phase::idle());
    EXPECT_FALSE(anyRecordingLeft());
}

TEST_F(FillTest, ServiceFailureShowsItsDescriptionAndDropsTheFill) {
    auto& c = make();
    fillService.error = std::make_exception_ptr(Error("The fill service is unavailable."));
    spokenFill();
    EXPECT_EQ(c.problem(), "The fill service is unavailable.");
    EXPECT_TRUE(fillEngine.applied.empty());
    EXPECT_TRUE(c.history().empty());
    EXPECT_EQ(c.phase(), Phase::idle());
    c.undoLastFill();  // nothing was written, so there is nothing to undo
    loop.runUntilIdle();
    EXPECT_TRUE(fillEngine.undos.empty());
}

TEST_F(FillTest, AnEngineThatBreaksDownNeverLeavesTheControllerBusy) {
    auto& c = make();
    fillEngine.enumerateError = std::make_exception_ptr(std::runtime_error("bus gone"));
    spokenFill();
    EXPECT_EQ(c.phase(), Phase::idle());
    EXPECT_EQ(c.problem(),
              "Couldn't read any fields in Editor. Native apps work best; web forms will come with the Chrome "
              "extension.");

    fillEngine.enumerateError = nullptr;
    fillEngine.applyError = std::make_exception_ptr(Error("The form went away while it was being filled."));
    noteFill("n", "T");
    EXPECT_EQ(c.phase(), Phase::idle());
    EXPECT_EQ(c.problem(), "The form went away while it was being filled.");
    EXPECT_TRUE(c.history().empty());
    c.undoLastFill();
    loop.runUntilIdle();
    EXPECT_TRUE(fillEngine.undos.empty());
}

TEST_F(FillTest, NothingMatchedRecordsTheTranscriptAndKeepsThePreviousUndo) {
    auto& c = make();
    spokenFill();
    ASSERT_EQ(c.history().size(), 1u);

    fillService.mapping.values.clear();
    recogniser.text = "the weather is nice";
    spokenFill();
    EXPECT_EQ(c.problem(), "Nothing in what you said matched the fields in Editor.");
    ASSERT_EQ(c.history().size(), 2u);
    EXPECT_EQ(c.history()[0].text, "the weather is nice");
    EXPECT_EQ(c.history()[0].mode, Mode::fill);
    EXPECT_FALSE(c.history()[0].fill);
    EXPECT_EQ(fillEngine.applied.size(), 1u);

    c.undoLastFill();
    loop.runUntilIdle();
    ASSERT_EQ(fillEngine.undos.size(), 1u);
    EXPECT_EQ(fillEngine.undos[0].fields.size(), 3u);
    EXPECT_EQ(fillEngine.undos[0].outcomes, fillEngine.outcomes);

    desktop.front = std::make_shared<ApplicationDouble>(778, std::nullopt);
    spokenFill();
    EXPECT_EQ(c.problem(), "Nothing in what you said matched the fields in that window.");
}

// ---- note fill -----------------------------------------------------------------------------

TEST_F(FillTest, NoteFillGoesStraightToFillingAndRecordsTheTitle) {
    auto& c = make();
    c.fillFromNote("note-7", "Trip to Lisbon");
    EXPECT_EQ(c.phase(), Phase::filling());
    loop.advance(5);
    EXPECT_EQ(c.phase(), Phase::idle());
    EXPECT_EQ(recorder.starts, 0);
    ASSERT_EQ(fillService.calls.size(), 1u);
    EXPECT_EQ(fillService.calls[0].source, (std::map<std::string, std::string>{{"noteId", "note-7"}}));
    ASSERT_EQ(c.history().size(), 1u);
    EXPECT_EQ(c.history()[0].text, "Trip to Lisbon");
    EXPECT_EQ(c.history()[0].mode, Mode::fill);
    ASSERT_TRUE(c.history()[0].fill);
    EXPECT_EQ(c.history()[0].fill->appName, "Editor");
    EXPECT_EQ(c.problem(), std::nullopt);

    noteFill("note-8", "");
    EXPECT_EQ(c.history()[0].text, "Filled from a note");
    noteFill("note-9", std::nullopt);
    EXPECT_EQ(c.history()[0].text, "Filled from a note");
    noteFill("note-10", "  Spaces stay  ");
    EXPECT_EQ(c.history()[0].text, "  Spaces stay  ");
}

// ---- insertion -----------------------------------------------------------------------------

TEST_F(FillTest, InsertTextTrimsWhiteSpaceAndLineBreaks) {
    auto& c = make();
    int hidden = 0;
    c.willInsert = [&] { ++hidden; };
    c.insertText("  word \n");
    c.insertText("\xC2\xA0\xE3\x80\x80two words\r\n\t");  // no-break and ideographic spaces
    loop.advance(1);
    ASSERT_EQ(paste.inserts.size(), 2u);
    EXPECT_EQ(paste.inserts[0].text, "word");
    EXPECT_EQ(paste.inserts[1].text, "two words");
    EXPECT_EQ(hidden, 2);
    EXPECT_TRUE(c.history().empty());

    int signals = 0;
    auto subscription = c.subscribe([&] { ++signals; });
    c.insertText(" \n\t \r\n");
    c.insertText("");
    loop.advance(1);
    EXPECT_EQ(paste.inserts.size(), 2u);
    EXPECT_EQ(hidden, 2);
    EXPECT_EQ(signals, 0);
    EXPECT_TRUE(clipboard.texts.empty());
}

TEST_F(FillTest, InsertTextWithoutAccessibilityCopiesTheTrimmedText) {
    auto& c = make();
    desktop.trusted = false;
    c.insertText("\n hello \n");
    EXPECT_EQ(clipboard.text, "hello");
    EXPECT_EQ(c.problem(), "Copied — press Ctrl+V to paste. Grant Accessibility and this becomes automatic.");
    loop.advance(1);
    EXPECT_TRUE(paste.inserts.empty());
    EXPECT_TRUE(c.history().empty());
}

TEST_F(FillTest, InsertingAHistoryEntryAgainUsesItsTextUntrimmed) {
    auto& c = make();
    recogniser.text = " spaced ";
    dictate();
    loop.advance(1);
    const auto entry = c.history()[0];
    paste.inserts.clear();

    c.insertAgain(entry);
    loop.advance(1);
    ASSERT_EQ(paste.inserts.size(), 1u);
    EXPECT_EQ(paste.inserts[0].text, " spaced ");

    desktop.trusted = false;
    c.clearProblem();
    c.insertAgain(entry);
    EXPECT_EQ(clipboard.text, " spaced ");
    EXPECT_EQ(c.problem(), std::nullopt);
    EXPECT_EQ(c.history().size(), 1u);
}

// ---- undo ----------------------------------------------------------------------------------

TEST_F(FillTest, UndoReportsAtOnceRunsInTheBackgroundAndOnlyOnce) {
    auto& c = make();
    spokenFill();
    const int before = loop.backgroundJobs();
    c.undoLastFill();
    EXPECT_EQ(c.problem(), "Put the previous values back.");
    EXPECT_TRUE(fillEngine.undos.empty());  // not run yet: nobody waits for it
    EXPECT_EQ(loop.backgroundJobs(), before + 1);
    loop.runUntilIdle();
    ASSERT_EQ(fillEngine.undos.size(), 1u);
    EXPECT_EQ(fillEngine.undos[0].fields.size(), 3u);
    EXPECT_EQ(fillEngine.undos[0].outcomes, fillEngine.outcomes);

    int signals = 0;
    auto subscription = c.subscribe([&] { ++signals; });
    c.undoLastFill();
    loop.runUntilIdle();
    EXPECT_EQ(fillEngine.undos.size(), 1u);
    EXPECT_EQ(signals, 0);
}

TEST_F(FillTest, UndoAndInsertDoNotWaitForTheControllerToBeIdle) {
    auto& c = make();
    spokenFill();
    c.begin(Mode::dictate);
    loop.runUntilIdle();
    ASSERT_EQ(c.phase(), Phase::recording(Mode::dictate));
    c.undoLastFill();
    c.insertText("from the panel");
    loop.advance(0.5);
    EXPECT_EQ(fillEngine.undos.size(), 1u);
    ASSERT_EQ(paste.inserts.size(), 1u);
    EXPECT_EQ(paste.inserts[0].text, "from the panel");
}

}  // namespace
}  // namespace vell::test

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
using Outcome = fill::FormAccess::Outcome;
using Record = dictation::DictationController::FillReport::Record;
using Source = std::map<std::string, std::string>;

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

    void spokenFill() {
        dictate(1.0, Mode::fill);
        loop.advance(5);
    }
    void noteFill(const std::string& noteId, std::optional<std::string> title) {
        controller->fillFromNote(noteId, title);
        loop.advance(5);
    }
};

TEST_F(FillTest, SpokenFillRecordsTheReport) {
    auto& c = make();
    spokenFill();
    EXPECT_EQ(c.phase(), Phase::idle());

    EXPECT_EQ(fillEngine.enumerations, (std::vector<std::pair<pid_t, int>>{{777, 40}}));
    EXPECT_EQ(fillService.sources, (std::vector<Source>{{{"transcript", recogniser.text}}}));
    EXPECT_EQ(fillEngine.applied, std::vector<Source>{fillService.mapping.values});
    EXPECT_EQ(loop.backgroundJobs(), 2);  // enumeration and application off the main loop

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

TEST_F(FillTest, TheTargetIsTheApplicationInFrontAtTheRequestAndMustStillBeThere) {
    auto& c = make();
    auto editor = desktop.front;
    c.toggleFill();
    loop.runUntilIdle();
    desktop.front = std::make_shared<ApplicationDouble>(999, "Other");
    loop.advance(1);
    c.toggleFill();
    loop.advance(5);
    EXPECT_EQ(fillEngine.enumerations.at(0).first, 777);

    editor->terminated = true;
    desktop.front = editor;
    spokenFill();
    EXPECT_EQ(c.problem(), "The window you were filling has gone.");
    EXPECT_EQ(fillEngine.enumerations.size(), 1u);
    EXPECT_EQ(c.history().size(), 1u);
    EXPECT_EQ(c.phase(), Phase::idle());
    EXPECT_FALSE(anyRecordingLeft());
}

enum class Breakdown { noFields, unreadable, serviceDown, writeFails, nothingMatched };

struct Failed {
    Breakdown breakdown;
    bool spoken;
    bool named;  // the target application has a name
    const char* problem;
    bool recorded;  // the request still goes into the history
    friend void PrintTo(const Failed& row, std::ostream* out) { *out << int(row.breakdown) << " " << row.problem; }
};

class FailedFillTest : public FillTest, public ::testing::WithParamInterface<Failed> {};

TEST_P(FailedFillTest, AFillThatCannotWriteIsToldAndLeavesNothingToUndo) {
    const Failed& row = GetParam();
    if (!row.named) desktop.front = std::make_shared<ApplicationDouble>(778, std::nullopt);
    if (row.breakdown == Breakdown::noFields) fillEngine.fields.clear();
    if (row.breakdown == Breakdown::unreadable)
        fillEngine.enumerateError = std::make_exception_ptr(std::runtime_error("bus gone"));
    if (row.breakdown == Breakdown::serviceDown) fillService.error = std::make_exception_ptr(Error(row.problem));
    if (row.breakdown == Breakdown::writeFails) fillEngine.applyError = std::make_exception_ptr(Error(row.problem));
    if (row.breakdown == Breakdown::nothingMatched) fillService.mapping.values.clear();
    auto& c = make();
    row.spoken ? spokenFill() : noteFill("n", "Trip");
    EXPECT_EQ(c.problem(), row.problem);
    EXPECT_EQ(c.phase(), Phase::idle());
    EXPECT_EQ(c.history().size(), std::size_t{row.recorded});
    if (row.recorded) {
        EXPECT_FALSE(c.history()[0].fill);
    }
    EXPECT_FALSE(anyRecordingLeft());
    c.undoLastFill();
    loop.runUntilIdle();
    EXPECT_TRUE(fillEngine.undos.empty());
}

constexpr const char* noFieldsInEditor =
    "Couldn't read any fields in Editor. Native apps work best; web forms will come with the Chrome extension.";

INSTANTIATE_TEST_SUITE_P(
    Breakdowns, FailedFillTest,
    ::testing::Values(
        Failed{Breakdown::noFields, true, true, noFieldsInEditor, false},
        Failed{Breakdown::noFields, false, false,
               "Couldn't read any fields in that app. Native apps work best; web forms will come with the Chrome "
               "extension.",
               false},
        Failed{Breakdown::unreadable, true, true, noFieldsInEditor, false},
        Failed{Breakdown::serviceDown, true, true, "The fill service is unavailable.", false},
        Failed{Breakdown::writeFails, false, true, "The form went away while it was being filled.", false},
        Failed{Breakdown::nothingMatched, true, true, "Nothing in what you said matched the fields in Editor.", true},
        Failed{Breakdown::nothingMatched, true, false, "Nothing in what you said matched the fields in that window.",
               true},
        Failed{Breakdown::nothingMatched, false, true, "Nothing in that note matched the fields in Editor.", false}));

TEST_F(FillTest, NoteFillGoesStraightToFillingAndRecordsTheTitle) {
    auto& c = make();
    c.fillFromNote("note-7", "Trip to Lisbon");
    EXPECT_EQ(c.phase(), Phase::filling());
    loop.advance(5);
    EXPECT_EQ(c.phase(), Phase::idle());
    EXPECT_EQ(recorder.starts, 0);
    EXPECT_EQ(fillService.sources, (std::vector<Source>{{{"noteId", "note-7"}}}));
    ASSERT_EQ(c.history().size(), 1u);
    EXPECT_EQ(c.history()[0].mode, Mode::fill);
    ASSERT_TRUE(c.history()[0].fill);
    EXPECT_EQ(c.history()[0].fill->appName, "Editor");
    EXPECT_EQ(c.problem(), std::nullopt);

    const std::pair<std::optional<std::string>, std::string> titles[] = {{"Trip to Lisbon", "Trip to Lisbon"},
                                                                         {"", "Filled from a note"},
                                                                         {std::nullopt, "Filled from a note"},
                                                                         {"  Spaces stay  ", "  Spaces stay  "}};
    for (const auto& [title, entry] : titles) {
        noteFill("note", title);
        EXPECT_EQ(c.history()[0].text, entry);
    }
}

TEST_F(FillTest, InsertTextTrimsWhiteSpaceAndCopiesWithoutAccessibility) {
    struct Row {
        const char* text;
        bool trusted;
        const char* inserted;  // pasted, or copied without accessibility; null: nothing happens
    };
    const Row rows[] = {{"  word \n", true, "word"},
                        {"\xC2\xA0\xE3\x80\x80two words\r\n\t", true, "two words"},  // no-break, ideographic spaces
                        {" \n\t \r\n", true, nullptr},
                        {"\n hello \n", false, "hello"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        auto& c = make();
        paste.inserts.clear();
        clipboard.texts.clear();
        desktop.trusted = row.trusted;
        int hidden = 0, signals = 0;
        c.willInsert = [&] { ++hidden; };
        auto subscription = c.subscribe([&] { ++signals; });
        c.insertText(row.text);
        loop.advance(1);
        const auto expected = row.inserted ? std::vector<std::string>{row.inserted} : std::vector<std::string>{};
        EXPECT_EQ(paste.inserts.size(), row.trusted && row.inserted ? 1u : 0u);
        if (!paste.inserts.empty()) {
            EXPECT_EQ(paste.inserts[0].text, row.inserted);
        }
        EXPECT_EQ(hidden, int(paste.inserts.size()));
        EXPECT_EQ(clipboard.texts, row.trusted ? std::vector<std::string>{} : expected);
        EXPECT_EQ(c.problem().has_value(), !row.trusted);
        EXPECT_EQ(signals, row.trusted ? 0 : 1);  // the report
        EXPECT_TRUE(c.history().empty());
    }
}

TEST_F(FillTest, InsertingAHistoryEntryAgainUsesItsTextUntrimmed) {
    auto& c = make();
    recogniser.text = " spaced ";
    dictate();
    loop.advance(1);
    const auto entry = c.history()[0];
    c.insertAgain(entry);
    loop.advance(1);
    ASSERT_EQ(paste.inserts.size(), 2u);
    EXPECT_EQ(paste.inserts[1].text, " spaced ");

    desktop.trusted = false;
    c.insertAgain(entry);
    EXPECT_EQ(clipboard.texts, std::vector<std::string>{" spaced "});
    EXPECT_EQ(c.problem(), std::nullopt);
    EXPECT_EQ(c.history().size(), 1u);
}

TEST_F(FillTest, UndoPutsBackTheLastWrittenFillOnceInTheBackground) {
    auto& c = make();
    spokenFill();
    fillService.mapping.values.clear();
    spokenFill();  // nothing matched: the earlier fill stays the one to undo
    const int before = loop.backgroundJobs();
    c.undoLastFill();
    EXPECT_EQ(c.problem(), "Put the previous values back.");
    EXPECT_TRUE(fillEngine.undos.empty());  // not run yet: nobody waits for it
    EXPECT_EQ(loop.backgroundJobs(), before + 1);
    loop.runUntilIdle();
    EXPECT_EQ(fillEngine.undos, std::vector<std::vector<Outcome>>{fillEngine.outcomes});

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

// What the panel shows for each state of the real controller over its
// doubles and what its controls do; where the floating panel opens and what
// hides it, over a recording window.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ControllerFixture.h"
#include "FakeSettings.h"
#include "panel/FloatingPanel.h"
#include "panel/PanelView.h"

namespace vell::test {
namespace {

using View = panel::PanelView;
using Applied = fill::FormAccess::Applied;
using Authorisation = platform::AudioInput::Authorisation;
using Mode = dictation::DictationController::Mode;

class PanelViewTest : public ControllerTest {
public:
    PanelViewTest() {
        fillEngine.fields = {FillEngineDouble::field("f0", "Name")};
        fillService.mapping.values = {{"f0", "Ada"}};
        fillEngine.outcomes = {{"Name", "Ada", Applied::applied}};
    }

    View& view() {
        if (!controller) make();
        if (!view_)
            view_ = std::make_unique<View>(View::Services{
                controller, {{}, [this] { ++signIns; }, {}, {}}, settings, clipboard, [this] { ++clears; }});
        return *view_;
    }
    void startRecording(Mode mode) {
        mode == Mode::dictate ? controller->begin(mode) : controller->toggleFill();
        loop.runUntilIdle();
    }
    // A second of speech, then up to the upload's answer.
    void startTranscribing(Mode mode) {
        startRecording(mode);
        loop.advance(1);
        controller->finish();
    }
    void startFilling() {
        startTranscribing(Mode::fill);
        loop.advance(recogniser.uploadSeconds);
    }

    FakeSettings settings;
    std::unique_ptr<View> view_;
    int signIns = 0, clears = 0;
};

struct PhaseRow {
    const char* name;
    std::function<void(PanelViewTest&)> reach;
    const char* symbol;
    const char* subtitle;
    const char* dictate;  // title; "!" before it: active, "-": disabled
    const char* fill;
    const char* status;
    const char* strip;  // what the collapsed strip says, empty when nothing
};

const std::vector<PhaseRow> phaseRows{
    {"idle", [](auto&) {}, "mic", "ada@example.com", "Record", "Fill a form",
     "Record types where your cursor is · Fill reads the front window's form · Ctrl+Alt+Space dictates anywhere", ""},
    {"recording", [](auto& t) { t.startRecording(Mode::dictate); }, "mic.fill", "listening…", "!Stop & insert",
     "-Fill a form", "0:00", "Stop & insert"},
    {"recording a fill", [](auto& t) { t.startRecording(Mode::fill); }, "mic.fill", "listening…", "-Record",
     "!Stop & fill", "0:00", "Stop & fill"},
    {"transcribing", [](auto& t) { t.startTranscribing(Mode::dictate); }, "ellipsis", "transcribing…", "-Record",
     "-Fill a form", "Transcribing…", "Transcribing…"},
    {"filling", [](auto& t) { t.startFilling(); }, "square.and.pencil", "filling…", "-Record", "-Fill a form",
     "Reading the window and filling…", "Filling…"},
};

std::string describe(const View::BigButton& b) {
    return std::string(b.active ? "!" : "") + (b.enabled ? "" : "-") + b.title;
}

TEST_F(PanelViewTest, EachPhaseHasItsSymbolSubtitleButtonsStatusAndStrip) {
    for (const auto& row : phaseRows) {
        SCOPED_TRACE(row.name);
        controller.reset();
        view_.reset();
        view();
        row.reach(*this);
        const auto model = view().model();
        EXPECT_EQ(model.header.symbol, row.symbol);
        EXPECT_EQ(model.header.subtitle, row.subtitle);
        ASSERT_TRUE(model.expanded);
        EXPECT_EQ(describe(model.expanded->dictate), row.dictate);
        EXPECT_EQ(describe(model.expanded->fill), row.fill);
        const auto& status = model.expanded->status;
        EXPECT_EQ(status.meter ? status.meter->time : status.text, row.status);
        EXPECT_EQ(status.spinner, status.text.ends_with("…"));

        view().toggleCollapsed();
        const auto strip = view().model().strip;
        ASSERT_TRUE(strip);
        EXPECT_FALSE(view().model().expanded);
        EXPECT_EQ(strip->stopTitle ? *strip->stopTitle : strip->busyText.value_or(""), row.strip);
        EXPECT_EQ(strip->empty(), std::string(row.strip).empty());
        view().toggleCollapsed();
    }
}

TEST_F(PanelViewTest, PressingTheBigButtonsFollowsTheirEnabledState) {
    view().pressDictate();
    loop.runUntilIdle();
    EXPECT_EQ(controller->phase(), Phase::recording(Mode::dictate));
    view().pressFill();  // disabled while dictating
    loop.advance(1);
    EXPECT_EQ(controller->phase(), Phase::recording(Mode::dictate));
    view().pressDictate();
    EXPECT_EQ(controller->phase(), Phase::transcribing(Mode::dictate));
    view().pressDictate();  // disabled while transcribing
    view().pressFill();
    EXPECT_EQ(recorder.starts, 1);
    loop.advance(5);

    view().pressFill();
    loop.runUntilIdle();
    loop.advance(1);
    view().toggleCollapsed();
    view().pressStripStop();
    EXPECT_EQ(controller->phase(), Phase::transcribing(Mode::fill));
}

// Each row's label with its button in brackets, then how many notes.
std::string describe(const View::Checklist& list) {
    std::string text;
    for (const auto& row : list.rows) text += row.label + (row.button ? " [" + *row.button + "]" : "") + " | ";
    return text + std::to_string(list.notes.size()) + " notes";
}

TEST_F(PanelViewTest, ChecklistRowsFollowTheSetup) {
    struct Row {
        bool signedIn;
        std::optional<std::string> device;
        Authorisation mic;
        bool trusted;
        const char* checklist;
    };
    const Row rows[] = {
        {false, std::nullopt, Authorisation::notDetermined, false,
         "Sign in with your Vell account [Sign in] | No microphone — connect one (AirPods work) | "
         "Microphone permission [Allow] | Accessibility — lets Vell type for you [Grant] | 2 notes"},
        {true, "USB Mic", Authorisation::denied, true,
         "Signed in | Microphone: USB Mic | Microphone blocked — Settings › Privacy | Accessibility granted | 0 notes"},
        {true, "USB Mic", Authorisation::restricted, false,
         "Signed in | Microphone: USB Mic | Microphone blocked — Settings › Privacy | "
         "Accessibility — lets Vell type for you [Grant] | 2 notes"},
    };
    for (const auto& row : rows) {
        session.signedIn = row.signedIn;
        recorder.device = row.device;
        recorder.status = row.mic;
        desktop.trusted = row.trusted;
        view().controller()->refreshSetup();
        ASSERT_TRUE(view().model().expanded->checklist);
        EXPECT_EQ(describe(*view().model().expanded->checklist), row.checklist);
    }
    EXPECT_EQ(view().model().expanded->checklist->notes[0],
              "You can dictate before granting this — the words land on your clipboard, one Ctrl+V away.");

    recorder.status = Authorisation::authorised;
    desktop.trusted = true;
    controller->refreshSetup();
    EXPECT_FALSE(view().model().expanded->checklist);
}

TEST_F(PanelViewTest, RowButtonsAskOnlyWhileTheirRowIsOpen) {
    session.signedIn = false;
    recorder.status = Authorisation::notDetermined;
    recorder.permissionAnswer = false;
    view().pressRowButton(View::Row::account);
    view().pressRowButton(View::Row::microphonePermission);
    loop.runUntilIdle();
    EXPECT_EQ(signIns, 1);
    EXPECT_EQ(recorder.permissionRequests, 1);
    EXPECT_EQ(view().model().expanded->checklist->rows[2].label, "Microphone blocked — Settings › Privacy");
    view().pressRowButton(View::Row::microphonePermission);  // no button once denied
    loop.runUntilIdle();
    EXPECT_EQ(recorder.permissionRequests, 1);
}

TEST(PanelViewTextTest, FillLineCountsFilledFieldsAndTheUnfilledAndTimesRoundDown) {
    using Report = dictation::DictationController::FillReport;
    const Report::Record ok{"", "", true, true}, failed{"", "", false, false};
    const std::pair<Report, std::string> fills[] = {
        {{"Mail", {ok}, 0}, "Filled 1 field in Mail — review before saving"},
        {{"Mail", {ok, failed}, 2}, "Filled 1 field in Mail · 2 left empty — review before saving"},
        {{"Forms", {ok, ok, ok}, 2}, "Filled 3 fields in Forms · 2 left empty — review before saving"},
    };
    for (const auto& [report, line] : fills) EXPECT_EQ(View::fillLine(report), line);
    const std::pair<double, std::string> times[] = {{59.99, "0:59"}, {75.9, "1:15"}, {600, "10:00"}};
    for (const auto& [seconds, text] : times) EXPECT_EQ(View::timeString(seconds), text);
}

TEST_F(PanelViewTest, LatestCardTellsHowItWasDeliveredAndInsertsAgainOrGoes) {
    desktop.trusted = false;
    view();
    dictate();
    EXPECT_EQ(view().model().expanded->latest->deliveryNote, "copied — Ctrl+V to paste");
    desktop.trusted = true;
    view().insertLatest();
    loop.advance(1);
    ASSERT_EQ(paste.inserts.size(), 1u);
    EXPECT_EQ(paste.inserts[0].text, "hello there");

    dictate();
    EXPECT_EQ(view().model().expanded->latest->deliveryNote, "inserted");
    view().dismissLatest();
    EXPECT_FALSE(view().model().expanded->latest);
}

TEST_F(PanelViewTest, UndoAppearsAfterAFillAndGoesWhenUsed) {
    view();
    startFilling();
    loop.advance(5);
    ASSERT_TRUE(view().model().expanded->undoShown);
    EXPECT_EQ(view().model().expanded->latest->fillLine, "Filled 1 field in Editor — review before saving");
    view().pressUndo();
    EXPECT_FALSE(view().model().expanded->undoShown);
    EXPECT_EQ(view().model().expanded->problem, "Put the previous values back.");
    view().closeProblem();
    EXPECT_FALSE(view().model().expanded->problem);
}

TEST_F(PanelViewTest, CollapsedIsStoredAtOnceAndReadBack) {
    view().toggleCollapsed();
    EXPECT_EQ(settings.writes, 1);
    View again({controller, {}, settings, clipboard, {}});
    EXPECT_TRUE(again.model().collapsed);
    EXPECT_TRUE(again.model().strip->empty());  // idle without a problem
}

TEST_F(PanelViewTest, SignOutClearsTheSessionAndHistoryAndMeasuresAgain) {
    view();
    dictate();
    session.signedIn = false;
    session.address.reset();
    ASSERT_TRUE(view().model().menu.signOutShown);
    view().signOut();
    EXPECT_EQ(clears, 1);
    EXPECT_TRUE(controller->history().empty());
    EXPECT_FALSE(view().model().menu.signOutShown);
    EXPECT_EQ(view().model().header.subtitle, "not signed in");
}

using Rect = platform::PanelWindow::Rect;

struct WindowDouble : platform::PanelWindow {
    std::optional<Rect> area, frame;
    bool visible = false;
    std::weak_ptr<std::function<void()>> watch;  // the newest
    int watches = 0;

    std::optional<Rect> workArea() override { return area; }
    void setFrame(Rect f) override { frame = f; }
    void orderFront() override { visible = true; }
    void orderOut() override { visible = false; }
    bool isVisible() const override { return visible; }
    Watch watchOutsidePresses(std::function<void()> onPress) override {
        auto newest = std::make_shared<std::function<void()>>(std::move(onPress));
        // The one before must be gone by now: never two watches at once.
        if (!watch.expired()) ++watches;
        watch = newest;
        return newest;
    }
};

TEST(FloatingPanelTest, ShowsTwelveInFromTheWorkAreasTopRightWithOneWatchAtMost) {
    WindowDouble window;
    panel::FloatingPanel panel(window);
    panel.show();
    EXPECT_FALSE(window.visible || window.frame || !window.watch.expired()) << "no screen: nothing happens";
    const std::pair<Rect, Rect> rows[] = {{{0, 30, 1280, 770}, {908, 42, 360, 680}},
                                          {{1280, 0, 1920, 1040}, {2828, 12, 360, 680}}};
    for (const auto& [area, frame] : rows) {
        window.area = area;
        panel.show();
        EXPECT_EQ(window.frame, frame);
    }
    EXPECT_EQ(window.watches, 0);
    (*window.watch.lock())();  // a press elsewhere
    EXPECT_FALSE(panel.isVisible());
    EXPECT_TRUE(window.watch.expired());
}

}  // namespace
}  // namespace vell::test

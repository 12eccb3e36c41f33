// Typing at the cursor on the fake clipboard and keyboard with the virtual
// clock: what goes on the clipboard, when the old contents come back, and
// when they must not.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FakeClipboard.h"
#include "FakeKeyboard.h"
#include "VirtualLoop.h"
#include "fill/Paste.h"

namespace vell::fill {
namespace {

using platform::Clipboard;
using namespace vell::test;

const std::string text = "Hello from Vell \u2014 \u2713 na\u00efve";

// A rich clipboard: one item with three types, and a second item, with bytes
// that are not text.
Clipboard::Snapshot richContents() {
    const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    return {{
        {{"text/plain;charset=utf-8", "old text"}, {"text/html", "<b>old</b>"}, {"image/png", png}},
        {{"text/uri-list", "file:///tmp/a\r\n"}},
    }};
}
Clipboard::Snapshot html(const std::string& markup) { return {{{{"text/html", markup}}}}; }

class PasteTest : public ::testing::Test {
protected:
    PasteTest() : paste(loop, clipboard, keyboard) {}

    // The front application fetches the text when the keystroke arrives.
    void targetReadsAtOnce() {
        keyboard.onPaste = [this] { pasted = clipboard.readElsewhere(); };
    }

    VirtualLoop loop;
    FakeClipboard clipboard;
    FakeKeyboard keyboard;
    Paste paste;
    std::optional<std::string> pasted;
};

TEST_F(PasteTest, EmptyTextChangesNothingAtAll) {
    clipboard.copyElsewhere(richContents());
    const auto count = clipboard.changeCount();
    auto task = paste.insert("");
    EXPECT_TRUE(task.done());
    loop.advance(5);
    EXPECT_EQ(clipboard.captures() + clipboard.texts.size() + keyboard.pastes(), 0u);
    EXPECT_EQ(clipboard.changeCount(), count);
}

// A clipboard whose owner never said what it holds cannot be put back: it is
// left alone, and nothing is typed.
TEST_F(PasteTest, AnUnreadableClipboardIsNeitherTakenNorEmptied) {
    targetReadsAtOnce();
    auto unreadable = richContents();
    unreadable.readable = false;
    clipboard.copyElsewhere(unreadable);
    auto task = paste.insert(text);
    loop.advance(Paste::readTimeout + 1);
    EXPECT_TRUE(task.done());
    EXPECT_EQ(keyboard.pastes(), 0);
    EXPECT_EQ(clipboard.contents(), unreadable);
    EXPECT_FALSE(clipboard.ownedByUs());
}

TEST_F(PasteTest, CopyElsewhereBeforeTheRestoreWins) {
    clipboard.copyElsewhere(richContents());
    targetReadsAtOnce();
    auto task = paste.insert(text);
    loop.advance(0.1);
    clipboard.copyElsewhere(html("copied meanwhile"));
    loop.advance(Paste::readTimeout);
    EXPECT_TRUE(task.done());
    EXPECT_EQ(clipboard.restores(), 0);
    EXPECT_EQ(clipboard.contents(), html("copied meanwhile"));
}

TEST_F(PasteTest, QuickSecondInsertSkipsTheFirstRestoreAndStillBringsBackTheOriginal) {
    clipboard.copyElsewhere(richContents());
    targetReadsAtOnce();
    auto first = paste.insert("first");
    loop.advance(0.1);
    auto second = paste.insert("second");
    loop.runUntilIdle();
    EXPECT_EQ(pasted, "second");

    loop.advance(0.3);  // the first insert's time is up: its text is gone, so it leaves the clipboard alone
    EXPECT_TRUE(first.done());
    EXPECT_EQ(clipboard.text(), "second");
    loop.advance(0.1);
    EXPECT_TRUE(second.done());
    EXPECT_EQ(clipboard.restores(), 1);
    EXPECT_EQ(clipboard.contents(), richContents());
    EXPECT_EQ(clipboard.captures(), 1);  // the second never snapshots the first one's text
}

// Contents that change while they are read are read again; the third read stands.
TEST_F(PasteTest, ClipboardThatChangesWhileItIsReadIsReadAgain) {
    clipboard.copyElsewhere(richContents());
    clipboard.answerCapturesAfter(loop, 0.1);
    targetReadsAtOnce();
    auto task = paste.insert(text);
    loop.advance(0.05);
    clipboard.copyElsewhere(html("newer"));  // during the first read
    loop.advance(0.1);
    clipboard.copyElsewhere(html("newest"));  // during the second
    loop.advance(0.2);
    EXPECT_EQ(clipboard.captures(), 3);
    EXPECT_EQ(pasted, text);
    loop.advance(1);
    EXPECT_TRUE(task.done());
    EXPECT_EQ(clipboard.contents(), html("newest"));
}

TEST_F(PasteTest, InsertsOverlappingWhileTheClipboardIsReadStillBringBackTheOriginal) {
    clipboard.copyElsewhere(richContents());
    clipboard.answerCapturesAfter(loop, 0.1);
    targetReadsAtOnce();
    auto first = paste.insert("first");
    loop.advance(0.05);
    auto second = paste.insert("second");  // its read ends after the first put its text on
    loop.advance(0.1 + Paste::readTimeout);
    EXPECT_EQ(clipboard.texts, (std::vector<std::string>{"first", "second"}));
    EXPECT_TRUE(first.done() && second.done());
    EXPECT_EQ(clipboard.restores(), 1);
    EXPECT_EQ(clipboard.contents(), richContents());
}

TEST_F(PasteTest, InsertAfterAnEarlierRestoreSnapshotsAfresh) {
    clipboard.copyElsewhere(richContents());
    targetReadsAtOnce();
    auto first = paste.insert("first");
    loop.advance(Paste::restoreDelay);
    clipboard.copyElsewhere(html("newer"));
    auto second = paste.insert("second");
    loop.advance(Paste::restoreDelay);
    EXPECT_TRUE(second.done());
    EXPECT_EQ(clipboard.captures(), 2);
    EXPECT_EQ(clipboard.contents(), html("newer"));
}

TEST_F(PasteTest, InsertOutlivingItsPasteLeavesTheClipboardAlone) {
    auto own = std::make_unique<Paste>(loop, clipboard, keyboard);
    clipboard.copyElsewhere(richContents());
    auto task = own->insert(text);
    loop.runUntilIdle();
    own.reset();
    loop.advance(Paste::readTimeout);
    clipboard.readElsewhere();  // the served report reaches nobody
    loop.runUntilIdle();
    EXPECT_TRUE(task.done());
    EXPECT_EQ(clipboard.restores(), 0);
}

// When the person's clipboard comes back (every item and type whole, or empty
// again), by how the front application takes the text.
struct Timing {
    const char* target;
    double readsAt;  // seconds after the keystroke; negative: never
    bool keystroke;
    double restoredAt;
    bool emptyBefore = false;
};

class PasteTimingTest : public PasteTest, public ::testing::WithParamInterface<Timing> {};

TEST_P(PasteTimingTest, TheOldContentsComeBackAfterTheTargetReadAndTheShortDelay) {
    const Timing& row = GetParam();
    const auto before = row.emptyBefore ? Clipboard::Snapshot{} : richContents();
    if (!row.emptyBefore) clipboard.copyElsewhere(before);
    keyboard.hasEventSource = row.keystroke;
    if (row.readsAt == 0) targetReadsAtOnce();
    if (row.readsAt > 0) loop.after(row.readsAt, [this] { pasted = clipboard.readElsewhere(); });
    auto task = paste.insert(text);

    loop.advance(row.restoredAt - 0.001);
    EXPECT_EQ(clipboard.restores(), 0);
    EXPECT_EQ(clipboard.text(), text);
    loop.advance(0.001);
    EXPECT_TRUE(task.done());
    EXPECT_EQ(clipboard.contents(), before);
    EXPECT_EQ(pasted, row.readsAt >= 0 && row.keystroke ? std::optional(text) : std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Targets, PasteTimingTest,
                         ::testing::Values(Timing{"reads at once", 0, true, 0.35},
                                           Timing{"reads at once, empty clipboard", 0, true, 0.35, true},
                                           Timing{"reads late", 1.0, true, 1.0}, Timing{"never reads", -1, true, 1.5},
                                           Timing{"no keystroke", -1, false, 0.35}));

}  // namespace
}  // namespace vell::fill

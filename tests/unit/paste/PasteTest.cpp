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

using vell::fill::Paste;
using vell::platform::Clipboard;
using vell::test::FakeClipboard;
using vell::test::FakeKeyboard;
using vell::test::VirtualLoop;

namespace {

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

    EXPECT_EQ(clipboard.captures(), 0);
    EXPECT_EQ(clipboard.setTextCalls(), 0);
    EXPECT_EQ(keyboard.pastes(), 0);
    EXPECT_EQ(clipboard.changeCount(), count);
    EXPECT_EQ(clipboard.contents(), richContents());
}

TEST_F(PasteTest, TargetGetsTheTextAsPlainTextAndEveryItemAndTypeComesBackWhole) {
    clipboard.copyElsewhere(richContents());
    targetReadsAtOnce();

    auto task = paste.insert(text);
    loop.runUntilIdle();
    EXPECT_EQ(keyboard.pastes(), 1);
    EXPECT_EQ(pasted, text);
    EXPECT_EQ(clipboard.text(), text);

    loop.advance(Paste::restoreDelay);
    EXPECT_TRUE(task.done());
    EXPECT_EQ(clipboard.restores(), 1);
    EXPECT_EQ(clipboard.contents(), richContents());
}

TEST_F(PasteTest, EmptyClipboardIsEmptyAgainAfterwards) {
    targetReadsAtOnce();

    auto task = paste.insert(text);
    loop.runUntilIdle();
    EXPECT_FALSE(clipboard.empty());
    loop.advance(Paste::restoreDelay);

    EXPECT_TRUE(task.done());
    EXPECT_TRUE(clipboard.empty());
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
    const Clipboard::Snapshot newer{{{{"text/plain;charset=utf-8", "copied meanwhile"}}}};
    targetReadsAtOnce();

    auto task = paste.insert(text);
    loop.advance(0.1);
    clipboard.copyElsewhere(newer);
    loop.advance(Paste::readTimeout);

    EXPECT_TRUE(task.done());
    EXPECT_EQ(clipboard.restores(), 0);
    EXPECT_EQ(clipboard.contents(), newer);
}

TEST_F(PasteTest, QuickSecondInsertSkipsTheFirstRestoreAndStillBringsBackTheOriginal) {
    clipboard.copyElsewhere(richContents());
    targetReadsAtOnce();

    auto first = paste.insert("first");
    loop.advance(0.1);
    EXPECT_EQ(clipboard.text(), "first");
    auto second = paste.insert("second");
    loop.runUntilIdle();
    EXPECT_EQ(pasted, "second");

    loop.advance(0.3);  // the first insert's time is up: its text is gone, so it leaves the clipboard alone
    EXPECT_TRUE(first.done());
    EXPECT_EQ(clipboard.restores(), 0);
    EXPECT_EQ(clipboard.text(), "second");

    loop.advance(0.1);
    EXPECT_TRUE(second.done());
    EXPECT_EQ(clipboard.restores(), 1);
    EXPECT_EQ(clipboard.contents(), richContents());
    EXPECT_EQ(clipboard.captures(), 1);  // the second never snapshots the first one's text
}

TEST_F(PasteTest, ClipboardThatChangesWhileItIsReadIsReadAgain) {
    clipboard.copyElsewhere(richContents());
    clipboard.answerCapturesAfter(loop, 0.1);
    targetReadsAtOnce();
    const Clipboard::Snapshot newer{{{{"text/html", "<i>newer</i>"}}}};

    auto task = paste.insert(text);
    loop.advance(0.05);
    clipboard.copyElsewhere(newer);
    loop.advance(0.2);
    EXPECT_EQ(clipboard.captures(), 2);
    EXPECT_EQ(pasted, text);
    loop.advance(Paste::restoreDelay);

    EXPECT_TRUE(task.done());
    EXPECT_EQ(clipboard.contents(), newer);
}

TEST_F(PasteTest, InsertsOverlappingWhileTheClipboardIsReadStillBringBackTheOriginal) {
    clipboard.copyElsewhere(richContents());
    clipboard.answerCapturesAfter(loop, 0.1);
    targetReadsAtOnce();

    auto first = paste.insert("first");
    loop.advance(0.05);
    auto second = paste.insert("second");  // its read ends after the first put its text on
    loop.advance(0.1);
    EXPECT_EQ(clipboard.texts(), (std::vector<std::string>{"first", "second"}));
    loop.advance(Paste::readTimeout);

    EXPECT_TRUE(first.done());
    EXPECT_TRUE(second.done());
    EXPECT_EQ(clipboard.restores(), 1);
    EXPECT_EQ(clipboard.contents(), richContents());
}

TEST_F(PasteTest, InsertAfterAnEarlierRestoreSnapshotsAfresh) {
    clipboard.copyElsewhere(richContents());
    targetReadsAtOnce();
    auto first = paste.insert("first");
    loop.advance(Paste::restoreDelay);
    ASSERT_TRUE(first.done());
    const Clipboard::Snapshot newer{{{{"text/html", "<i>newer</i>"}}}};
    clipboard.copyElsewhere(newer);

    auto second = paste.insert("second");
    loop.advance(Paste::restoreDelay);

    EXPECT_TRUE(second.done());
    EXPECT_EQ(clipboard.captures(), 2);
    EXPECT_EQ(clipboard.contents(), newer);
}

TEST_F(PasteTest, SlowTargetGetsItsTextBeforeTheRestore) {
    clipboard.copyElsewhere(richContents());
    auto task = paste.insert(text);

    loop.advance(1.0);  // well past the short delay, but the target has not asked yet
    EXPECT_EQ(clipboard.restores(), 0);
    EXPECT_EQ(clipboard.readElsewhere(), text);
    loop.runUntilIdle();

    EXPECT_TRUE(task.done());
    EXPECT_EQ(clipboard.contents(), richContents());
    EXPECT_DOUBLE_EQ(loop.now(), 1.0);
}

TEST_F(PasteTest, QuickTargetStillWaitsTheShortDelay) {
    clipboard.copyElsewhere(richContents());
    targetReadsAtOnce();
    auto task = paste.insert(text);

    loop.advance(Paste::restoreDelay - 0.01);
    EXPECT_EQ(clipboard.restores(), 0);
    EXPECT_EQ(clipboard.text(), text);
    loop.advance(0.01);

    EXPECT_TRUE(task.done());
    EXPECT_EQ(clipboard.contents(), richContents());
}

TEST_F(PasteTest, TargetThatNeverAsksGetsTheBoundedWait) {
    clipboard.copyElsewhere(richContents());
    auto task = paste.insert(text);

    loop.advance(Paste::readTimeout - 0.01);
    EXPECT_EQ(clipboard.restores(), 0);
    EXPECT_EQ(clipboard.text(), text);
    loop.advance(0.01);

    EXPECT_TRUE(task.done());
    EXPECT_EQ(clipboard.contents(), richContents());
    EXPECT_EQ(loop.pending(), 0u);
}

TEST_F(PasteTest, WithoutAnEventSourceTheTextWaitsOnTheClipboardThenTheOldContentsReturn) {
    clipboard.copyElsewhere(richContents());
    keyboard.hasEventSource = false;

    auto task = paste.insert(text);
    loop.runUntilIdle();
    EXPECT_EQ(keyboard.pastes(), 0);
    EXPECT_EQ(clipboard.text(), text);
    loop.advance(Paste::restoreDelay - 0.01);
    EXPECT_EQ(clipboard.text(), text);
    loop.advance(0.01);

    EXPECT_TRUE(task.done());
    EXPECT_EQ(clipboard.contents(), richContents());
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

}  // namespace

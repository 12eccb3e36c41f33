// Typing at the cursor on a real X server: another GTK program's focused
// entry receives our text through the clipboard and a synthetic Control+V,
// and the clipboard another program owned before comes back whole.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "integration/paste/PasteScene.h"

// Xlib's macros (None, Bool, …) last, after the headers they would break.
#include "X11Keys.h"

using vell::test::PasteScene;

namespace {

const std::string text = "Hello from Vell \u2014 \u2713 na\u00efve";
const std::string plain = "the person's own text \u2014 kept";
const std::string html = "<meta charset=\"utf-8\"><b>bold</b> \u2014 <i>kept</i>";
// A 1x1 PNG: bytes that are not text (NULs, high bytes).
const std::string png(
    "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1f\x15\xc4\x89\0\0\0\rIDATx\x9c"
    "c\xf8\xcf\xc0\xf0\x1f\0\x05\0\x01\xff\x89\x99=\x1d\0\0\0\0IEND\xae"
    "B`\x82",
    70);

// Another program reads the clipboard back: every target offered, byte for byte.
void expectOnTheClipboard(PasteScene& scene, const PasteScene::Targets& offered) {
    const auto read = scene.readElsewhere();
    for (auto [target, bytes] : offered) {
        std::replace(target.begin(), target.end(), '/', '_');
        EXPECT_EQ(read.count(target) ? read.at(target) : "(missing)", bytes) << target << " of " << read.at("TARGETS");
    }
}

// Our text reaches the entry, and the clipboard another program offered comes back.
void insertAndCheck(PasteScene& scene, const PasteScene::Targets& offered) {
    auto task = scene.paste.insert(text);
    scene.waitFor([&] { return task.done(); }, "the insert to finish");
    EXPECT_NO_THROW(task.get());
    scene.runUntil([&] { return scene.entryText() == text; }, 10);
    EXPECT_EQ(scene.entryText(), text);
    expectOnTheClipboard(scene, offered);
}

const PasteScene::Targets rich = {{"UTF8_STRING", plain}, {"text/html", html}, {"image/png", png}};

class PasteIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(scene.keyboard.available()) << "no XTest on this display";
        scene.offerElsewhere(rich);
        scene.openEntry();
    }

    PasteScene scene;
};

// The entry gets the text, and the clipboard comes back byte for byte, even
// with Alt still held (the paste must not become another shortcut).
TEST_F(PasteIntegrationTest, HeldAltDoesNotTurnThePasteIntoAnotherShortcut) {
    vell::test::X11Keys keys;
    keys.down({XK_Alt_L});
    insertAndCheck(scene, rich);
    keys.up({XK_Alt_L});
}

// A layout whose keys have no Latin v, and Caps Lock on: Control+V still pastes.
TEST_F(PasteIntegrationTest, PastesOnALayoutWithoutALatinVAndWithCapsLockOn) {
    ASSERT_EQ(std::system("setxkbmap ru"), 0);
    insertAndCheck(scene, rich);
    ASSERT_EQ(std::system("setxkbmap us"), 0);
    vell::test::X11Keys keys;
    keys.down({XK_Caps_Lock});  // pressed and released: the lock is on
    keys.up({XK_Caps_Lock});
    scene.offerElsewhere(rich);
    scene.openEntry();
    insertAndCheck(scene, rich);
    keys.down({XK_Caps_Lock});  // and off again
    keys.up({XK_Caps_Lock});
}

// Another program that is busy when first asked, or slow to hand over its
// images: after the insert, every one of its targets is back byte for byte.
struct SlowOwner {
    double busy;
    double imageDelay;
};
class SlowOwnerTest : public ::testing::TestWithParam<SlowOwner> {};

TEST_P(SlowOwnerTest, EveryTargetComesBackByteForByte) {
    PasteScene scene;
    const PasteScene::Targets offered = {{"UTF8_STRING", plain},     {"text/html", html},
                                         {"image/png", png},         {"image/bmp", "BM" + png},
                                         {"image/jpeg", "ÿØ" + png}, {"image/tiff", "II*" + png}};
    scene.offerElsewhere(offered, GetParam().busy, GetParam().imageDelay);
    scene.openEntry();
    insertAndCheck(scene, offered);
}

INSTANTIATE_TEST_SUITE_P(BusyOrSlow, SlowOwnerTest,
                         ::testing::Values(SlowOwner{1.5, 0}, SlowOwner{0, 0.5}, SlowOwner{0, 1.3}));

// The copy is noticed on the shared clipboard, and the newer contents stay.
TEST(PasteWithoutTargetTest, CopyInAnotherProgramDuringThePasteWins) {
    PasteScene scene;
    scene.offerElsewhere({{"UTF8_STRING", plain}});
    const auto before = scene.clipboard.changeCount();
    auto task = scene.paste.insert(text);
    scene.waitFor([&] { return scene.clipboard.changeCount() != before; }, "our text on the clipboard");
    const auto ours = scene.clipboard.changeCount();
    const PasteScene::Targets newer = {{"UTF8_STRING", "copied meanwhile"}, {"text/html", html}};
    scene.offerElsewhere(newer);
    EXPECT_TRUE(scene.runUntil([&] { return scene.clipboard.changeCount() > ours; }, 10));
    scene.waitFor([&] { return task.done(); }, "the insert to finish");
    expectOnTheClipboard(scene, newer);
}

// A copy elsewhere that has reached the X server but not yet us still wins
// over our text and over a restore.
TEST(PasteWithoutTargetTest, CopyNotYetNoticedWins) {
    PasteScene scene;
    const PasteScene::Targets newer = {{"UTF8_STRING", "copied meanwhile"}, {"text/html", html}};
    scene.offerElsewhere({{"UTF8_STRING", plain}});
    const auto before = scene.clipboard.changeCount();
    scene.offerElsewhere(newer, 0, 0, false);
    EXPECT_FALSE(scene.clipboard.setText(text, before));
    expectOnTheClipboard(scene, newer);
    const auto ours = scene.clipboard.setText(text);
    scene.offerElsewhere(newer, 0, 0, false);
    EXPECT_FALSE(scene.clipboard.restore({{{{"UTF8_STRING", plain}}}}, ours));
    expectOnTheClipboard(scene, newer);
}

TEST(PasteOnEmptyClipboardTest, EmptyClipboardIsEmptyAgainAfterwards) {
    PasteScene scene;
    scene.clipboard.restore({});  // whatever an earlier test left on it
    ASSERT_EQ(scene.readElsewhere().at("TARGETS"), "");
    scene.openEntry();
    auto task = scene.paste.insert(text);
    scene.waitFor([&] { return task.done(); }, "the insert to finish");
    scene.waitFor([&] { return scene.entryText() == text; }, "the entry to show the text");
    const auto read = scene.readElsewhere();
    EXPECT_EQ(read.at("TARGETS"), "");
    EXPECT_EQ(read.size(), 1u);
}

}  // namespace

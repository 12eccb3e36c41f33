// The hotkey on a real X server, played with XTest as a keyboard would:
// auto-repeat, modifiers let go before the key, a rival client holding the
// combination, and what is left grabbed afterwards.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "X11Keys.h"
#include "app/Hotkey.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/X11KeyGrab.h"

namespace vell::app {
namespace {

using test::X11Keys;

struct HotkeyX11Test : ::testing::Test {
    platform::GlibMainLoop loop;
    platform::X11KeyGrab grab;
    X11Keys keyboard;
    std::unique_ptr<Hotkey> hotkey = std::make_unique<Hotkey>(loop, grab);
    const std::thread::id mainThread = std::this_thread::get_id();
    int downs = 0, ups = 0;
    bool offMainThread = false;

    HotkeyX11Test() {
        hotkey->onDown = [this] { count(downs); };
        hotkey->onUp = [this] { count(ups); };
    }
    void count(int& actions) {
        ++actions;
        offMainThread |= std::this_thread::get_id() != mainThread;
    }
    bool registerSpace() { return hotkey->registerKey(Hotkey::spaceKey, Hotkey::controlOption); }
};

// Held two seconds the server repeats the key; released plainly or with
// Control and Alt let go before Space.
TEST_F(HotkeyX11Test, AHeldKeyGivesOneDownAndTheReleaseOneUpOnTheMainThreadAndDropReleasesTheGrab) {
    ASSERT_TRUE(keyboard.connected());
    ASSERT_TRUE(registerSpace());
    for (bool modifiersFirst : {false, true}) {
        downs = ups = 0;
        keyboard.down({XK_Control_L, XK_Alt_L, XK_space});
        loop.runFor(2.0);
        EXPECT_EQ(downs, 1);
        if (modifiersFirst) {
            keyboard.up({XK_Control_L, XK_Alt_L});
            loop.runFor(0.2);
            EXPECT_EQ(ups, 0);
        }
        keyboard.up({XK_space, XK_Alt_L, XK_Control_L});
        ASSERT_TRUE(loop.runUntil([&] { return ups == 1; }, 5));
        loop.runFor(0.2);
        EXPECT_EQ(downs, 1);
        EXPECT_EQ(ups, 1);
    }
    EXPECT_FALSE(offMainThread);
    EXPECT_FALSE(keyboard.grab(XK_space)) << "held by the program";
    hotkey.reset();
    for (unsigned int locks : X11Keys::lockStates) {
        EXPECT_TRUE(keyboard.grab(XK_space, locks)) << "left grabbed: " << locks;
        keyboard.ungrab(XK_space, locks);
    }
}

// A rival holding the combination in any one lock state refuses the whole
// registration, and none of the other states stays grabbed by the program.
TEST_F(HotkeyX11Test, ACombinationHeldByAnotherClientIsRefusedWithoutPartialGrab) {
    X11Keys rival, third;
    for (unsigned int locks : X11Keys::lockStates) {
        ASSERT_TRUE(rival.grab(XK_space, locks));
        EXPECT_FALSE(registerSpace()) << "locks " << locks;
        for (unsigned int other : X11Keys::lockStates) {
            if (other == locks) continue;
            EXPECT_TRUE(third.grab(XK_space, other)) << "left grabbed: " << other << " after refusal at " << locks;
            third.ungrab(XK_space, other);
        }
        keyboard.down({XK_Control_L, XK_Alt_L, XK_space});
        keyboard.up({XK_space, XK_Alt_L, XK_Control_L});
        loop.runFor(0.3);
        EXPECT_EQ(downs + ups, 0);
        rival.ungrab(XK_space, locks);
    }
}

}  // namespace
}  // namespace vell::app

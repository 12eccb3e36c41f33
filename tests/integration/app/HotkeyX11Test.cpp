// The hotkey on a real X server, played with XTest as a keyboard would:
// auto-repeat, modifiers let go before the key, a rival client holding the
// combination, and what is left grabbed afterwards.

#include <gtest/gtest.h>

#include "X11Keys.h"
#include "app/Hotkey.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/X11KeyGrab.h"

#include <memory>
#include <string>
#include <thread>

namespace {

using vell::app::Hotkey;
using vell::platform::GlibMainLoop;
using vell::platform::KeyGrab;
using vell::platform::X11KeyGrab;
using vell::test::X11Keys;

// Counts what the X grab reports before Hotkey debounces it.
class CountingGrab final : public KeyGrab {
public:
    bool grab(Combination combination, Handler handler) override {
        return inner.grab(combination, [this, handler](bool pressed) {
            (pressed ? presses : releases)++;
            handler(pressed);
        });
    }
    void release() override { inner.release(); }
    X11KeyGrab inner;
    int presses = 0;
    int releases = 0;
};

struct HotkeyX11Test : ::testing::Test {
    GlibMainLoop loop;
    CountingGrab grab;
    X11Keys keyboard;
    std::unique_ptr<Hotkey> hotkey = std::make_unique<Hotkey>(loop, grab);
    int downs = 0;
    int ups = 0;
    bool offMainThread = false;

    HotkeyX11Test() {
        const auto mainThread = std::this_thread::get_id();
        hotkey->onDown = [this, mainThread] {
            ++downs;
            offMainThread |= std::this_thread::get_id() != mainThread;
        };
        hotkey->onUp = [this, mainThread] {
            ++ups;
            offMainThread |= std::this_thread::get_id() != mainThread;
        };
    }
    bool registerSpace() { return hotkey->registerKey(Hotkey::spaceKey, Hotkey::controlOption); }
    void pressCombination() { keyboard.down({XK_Control_L, XK_Alt_L, XK_space}); }
    // Plays one full press and release and gives any action time to run.
    void tap() {
        pressCombination();
        keyboard.up({XK_space, XK_Alt_L, XK_Control_L});
        loop.runFor(0.3);
    }
};

TEST_F(HotkeyX11Test, AHeldKeyGivesOneDownAndTheReleaseOneUpOnTheMainThread) {
    ASSERT_TRUE(keyboard.connected());
    ASSERT_TRUE(registerSpace());
    // Released the plain way, and with Control and Alt let go before Space.
    for (bool modifiersFirst : {false, true}) {
        downs = ups = 0;
        grab.presses = 0;
        pressCombination();
        ASSERT_TRUE(loop.runUntil([&] { return downs == 1; }, 5));
        loop.runFor(2.0);
        EXPECT_GT(grab.presses, 1) << "the server repeated the held key";
        EXPECT_EQ(downs, 1);
        EXPECT_EQ(ups, 0);
        if (modifiersFirst) {
            keyboard.up({XK_Control_L, XK_Alt_L});
            loop.runFor(0.2);
            EXPECT_EQ(ups, 0);
            keyboard.up({XK_space});
        } else {
            keyboard.up({XK_space, XK_Alt_L, XK_Control_L});
        }
        ASSERT_TRUE(loop.runUntil([&] { return ups == 1; }, 5));
        loop.runFor(0.2);
        EXPECT_EQ(downs, 1);
        EXPECT_EQ(ups, 1);
    }
    EXPECT_FALSE(offMainThread);
}

TEST_F(HotkeyX11Test, ASecondRegisterLeavesOneGrabAndUnregisterOrDropLeavesNone) {
    for (bool drop : {false, true}) {
        downs = ups = 0;
        ASSERT_TRUE(registerSpace());
        ASSERT_TRUE(registerSpace());
        tap();
        EXPECT_EQ(downs, 1);
        EXPECT_EQ(ups, 1);
        EXPECT_FALSE(keyboard.grab(XK_space)) << "still held by the program";
        drop ? hotkey.reset() : hotkey->unregister();
        EXPECT_TRUE(keyboard.allLockStatesFree(XK_space));
        tap();
        EXPECT_EQ(downs, 1);
    }
}

// A rival holding the combination in any one lock state refuses the whole
// registration, and none of the other states stays grabbed by the program.
TEST_F(HotkeyX11Test, ACombinationHeldByAnotherClientIsRefusedWithoutPartialGrab) {
    X11Keys rival;
    X11Keys third;
    for (unsigned int locks : {0u, X11Keys::capsLock, X11Keys::numLock, X11Keys::capsLock | X11Keys::numLock}) {
        ASSERT_TRUE(rival.grab(XK_space, locks));
        EXPECT_FALSE(registerSpace()) << "locks " << locks;
        for (unsigned int other : {0u, X11Keys::capsLock, X11Keys::numLock, X11Keys::capsLock | X11Keys::numLock}) {
            if (other == locks) continue;
            EXPECT_TRUE(third.grab(XK_space, other)) << "left grabbed: " << other << " after refusal at " << locks;
            third.ungrab(XK_space, other);
        }
        tap();
        EXPECT_EQ(downs + ups, 0);
        rival.ungrab(XK_space, locks);
    }
}

}  // namespace

// Hotkey over a hand-driven key grab and the virtual loop: what reaches the
// two actions, when, and what no longer does.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "FakeKeyGrab.h"
#include "VirtualLoop.h"
#include "app/Hotkey.h"

namespace vell::app {
namespace {

struct HotkeyTest : ::testing::Test {
    test::VirtualLoop loop;
    test::FakeKeyGrab grab;
    std::unique_ptr<Hotkey> hotkey = std::make_unique<Hotkey>(loop, grab);
    std::string log;

    HotkeyTest() {
        hotkey->onDown = [this] { log += "D"; };
        hotkey->onUp = [this] { log += "U"; };
    }
    bool registerSpace() { return hotkey->registerKey(Hotkey::spaceKey, Hotkey::controlOption); }
    // Plays key events: 'd' a press (or an auto-repeated one), 'u' a release.
    void play(const std::string& events) {
        for (char event : events) event == 'd' ? grab.keyDown() : grab.keyUp();
    }
};

// One onDown per hold however often the press repeats, one onUp per release,
// nothing for a release without a hold; never inside the grab's report.
TEST_F(HotkeyTest, OneActionPerHoldAndPerReleaseInEventOrder) {
    const std::pair<const char*, const char*> rows[] = {
        {"du", "DU"}, {"ddddu", "DU"}, {"dudu", "DUDU"}, {"dddudddu", "DUDU"}, {"u", ""}, {"uduu", "DU"},
    };
    ASSERT_TRUE(registerSpace());
    for (const auto& [events, actions] : rows) {
        log.clear();
        play(events);
        EXPECT_EQ(log, "") << "actions never run inside the grab's report";
        loop.runUntilIdle();
        EXPECT_EQ(log, actions) << "events " << events;
    }
}

// Events already posted when the registration ends run no action, nor does
// anything after an action drops the hotkey.
TEST_F(HotkeyTest, NothingRunsAfterUnregisterOrDrop) {
    for (bool drop : {false, true}) {
        log.clear();
        ASSERT_TRUE(registerSpace());
        play("du");
        drop ? hotkey.reset() : hotkey->unregister();
        EXPECT_FALSE(grab.held());
        play("du");
        loop.runUntilIdle();
        EXPECT_EQ(log, "") << (drop ? "dropped" : "unregistered");
    }
    hotkey = std::make_unique<Hotkey>(loop, grab);
    ASSERT_TRUE(registerSpace());
    hotkey->onDown = [this] {
        log += "D";
        hotkey.reset();
    };
    play("du");
    loop.runUntilIdle();
    EXPECT_EQ(log, "D");
}

}  // namespace
}  // namespace vell::app

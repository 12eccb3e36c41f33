#pragma once
// Claims one system-wide key combination and turns its presses and releases
// into two actions that run on the main loop, in event order. Held keys
// auto-repeat on real keyboards: one onDown per hold, one onUp per release.

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/KeyGrab.h"
#include "platform/MainLoop.h"

namespace vell::app {

class Hotkey {
public:
    static constexpr std::uint32_t spaceKey = 49;
    static constexpr std::uint32_t controlOption = 0x1800;

    Hotkey(platform::MainLoop& loop, platform::KeyGrab& grab);
    ~Hotkey();  // unregisters
    Hotkey(const Hotkey&) = delete;
    Hotkey& operator=(const Hotkey&) = delete;

    // Replaces any earlier registration; true when the combination is now ours.
    bool registerKey(std::uint32_t keyCode, std::uint32_t modifiers);
    void unregister();

    // The action that runs is the one held when the posted work executes.
    std::function<void()> onDown = [] {};
    std::function<void()> onUp = [] {};

private:
    platform::MainLoop& loop_;
    platform::KeyGrab& grab_;
    // Posted work holds this weakly: nothing runs once the Hotkey is gone or unregistered.
    std::shared_ptr<int> alive_;
    bool held_ = false;
};

}  // namespace vell::app

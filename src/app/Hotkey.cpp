#include "app/Hotkey.h"

namespace vell::app {

Hotkey::Hotkey(platform::MainLoop& loop, platform::KeyGrab& grab) : loop_(loop), grab_(grab) {}

Hotkey::~Hotkey() { unregister(); }

bool Hotkey::registerKey(std::uint32_t keyCode, std::uint32_t modifiers) {
    unregister();
    alive_ = std::make_shared<int>(0);
    std::weak_ptr<int> registration = alive_;
    // The grab may report from any thread; the debounce and the actions run on
    // the main loop, in the order the events came.
    const bool claimed = grab_.grab({keyCode, modifiers}, [this, registration](bool pressed) {
        loop_.post([this, registration, pressed] {
            if (registration.expired()) return;
            // A held key repeats its press; only the first press of a hold and
            // the release that ends it count.
            if (pressed == held_) return;
            held_ = pressed;
            auto action = pressed ? onDown : onUp;  // a copy: the action may drop this Hotkey
            action();
        });
    });
    if (!claimed) alive_.reset();
    return claimed;
}

void Hotkey::unregister() {
    grab_.release();
    alive_.reset();
    held_ = false;
}

}  // namespace vell::app

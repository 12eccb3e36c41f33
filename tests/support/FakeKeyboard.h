#pragma once
// Records the paste keystrokes a flow sends. Without an event source it sends
// nothing and says so, as on a display without the test extension.

#include <functional>

#include "platform/Keyboard.h"

namespace vell::test {

class FakeKeyboard final : public platform::Keyboard {
public:
    bool sendPaste() override {
        if (!hasEventSource) return false;
        ++pastes_;
        if (onPaste) onPaste();
        return true;
    }

    // False plays a display where no key event can be sent.
    bool hasEventSource = true;
    // Runs at each keystroke, as the front application would (e.g. read the clipboard).
    std::function<void()> onPaste;

    int pastes() const { return pastes_; }

private:
    int pastes_ = 0;
};

}  // namespace vell::test

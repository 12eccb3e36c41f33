#pragma once
// Synthetic keystrokes into the front application.

namespace vell::platform {

class Keyboard {
public:
    virtual ~Keyboard() = default;
    // Sends the platform's paste shortcut (Control+V on X11) with no other
    // modifier down, so the target sees the paste and nothing else. False when
    // no event could be sent (no event source).
    virtual bool sendPaste() = 0;
};

}  // namespace vell::platform

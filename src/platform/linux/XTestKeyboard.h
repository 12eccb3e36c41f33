#pragma once
// Synthetic keystrokes through the XTest extension on a connection of our own.

#include <memory>

#include "platform/Keyboard.h"

struct _XDisplay;

namespace vell::platform {

class XTestKeyboard final : public Keyboard {
public:
    // Opens the display named by DISPLAY. Without a display or the extension
    // every sendPaste() answers false.
    XTestKeyboard();
    ~XTestKeyboard() override;
    XTestKeyboard(const XTestKeyboard&) = delete;
    XTestKeyboard& operator=(const XTestKeyboard&) = delete;

    // Releases every modifier key held down (the hotkey's Alt may still be),
    // then Control_L down, v down, v up, Control_L up. On a layout without a
    // Latin v, a spare key code becomes v until this keyboard goes.
    bool sendPaste() override;

    bool available() const { return display_ != nullptr; }

private:
    struct CloseDisplay {
        void operator()(_XDisplay* display) const;
    };
    unsigned char borrowed_ = 0;  // a spare key code made v, given back at the end
    std::unique_ptr<_XDisplay, CloseDisplay> display_;
};

}  // namespace vell::platform

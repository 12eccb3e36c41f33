#include "platform/linux/XTestKeyboard.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <array>

namespace vell::platform {
namespace {

bool isDown(const std::array<char, 32>& keys, KeyCode code) {
    return (static_cast<unsigned char>(keys[code / 8]) >> (code % 8)) & 1;
}

}  // namespace

void XTestKeyboard::CloseDisplay::operator()(_XDisplay* display) const { XCloseDisplay(display); }

XTestKeyboard::XTestKeyboard() {
    display_.reset(XOpenDisplay(nullptr));
    if (!display_) return;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display_.get(), &eventBase, &errorBase, &major, &minor)) display_.reset();
}

XTestKeyboard::~XTestKeyboard() = default;

bool XTestKeyboard::sendPaste() {
    Display* display = display_.get();
    if (!display) return false;
    const KeyCode control = XKeysymToKeycode(display, XK_Control_L);
    const KeyCode v = XKeysymToKeycode(display, XK_v);
    if (control == 0 || v == 0) return false;

    // A modifier still held would turn the paste into another shortcut
    // (Control+Alt+V); lift every modifier key that is down.
    std::array<char, 32> keys{};
    XQueryKeymap(display, keys.data());
    std::unique_ptr<XModifierKeymap, decltype(&XFreeModifiermap)> modifiers(XGetModifierMapping(display),
                                                                            XFreeModifiermap);
    if (modifiers) {
        const int perModifier = modifiers->max_keypermod;
        for (int i = 0; i < 8 * perModifier; ++i) {
            const KeyCode code = modifiers->modifiermap[i];
            if (code != 0 && isDown(keys, code)) XTestFakeKeyEvent(display, code, False, CurrentTime);
        }
    }

    XTestFakeKeyEvent(display, control, True, CurrentTime);
    XTestFakeKeyEvent(display, v, True, CurrentTime);
    XTestFakeKeyEvent(display, v, False, CurrentTime);
    XTestFakeKeyEvent(display, control, False, CurrentTime);
    XSync(display, False);
    return true;
}

}  // namespace vell::platform

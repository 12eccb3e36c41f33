#include "platform/linux/XTestKeyboard.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <memory>

namespace vell::platform {
namespace {

bool isDown(const std::array<char, 32>& keys, KeyCode code) {
    return (static_cast<unsigned char>(keys[code / 8]) >> (code % 8)) & 1;
}

// The highest key code with no symbol at all, or 0.
KeyCode spareKeyCode(Display* display) {
    int first = 0, last = 0, perCode = 0;
    XDisplayKeycodes(display, &first, &last);
    std::unique_ptr<KeySym, decltype(&XFree)> map(
        XGetKeyboardMapping(display, static_cast<KeyCode>(first), last - first + 1, &perCode),
        [](void* data) { return XFree(data); });
    if (!map) return 0;
    for (int code = last; code >= first; --code) {
        const KeySym* symbols = map.get() + (code - first) * perCode;
        if (std::all_of(symbols, symbols + perCode, [](KeySym symbol) { return symbol == NoSymbol; }))
            return static_cast<KeyCode>(code);
    }
    return 0;
}

}  // namespace

void XTestKeyboard::CloseDisplay::operator()(_XDisplay* display) const { XCloseDisplay(display); }

XTestKeyboard::XTestKeyboard() {
    display_.reset(XOpenDisplay(nullptr));
    if (!display_) return;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display_.get(), &eventBase, &errorBase, &major, &minor)) display_.reset();
}

XTestKeyboard::~XTestKeyboard() {
    if (!display_ || borrowed_ == 0) return;
    KeySym nothing[] = {NoSymbol, NoSymbol};
    XChangeKeyboardMapping(display_.get(), borrowed_, 2, nothing, 1);
    XSync(display_.get(), False);
}

bool XTestKeyboard::sendPaste() {
    Display* display = display_.get();
    if (!display) return false;
    const KeyCode control = XKeysymToKeycode(display, XK_Control_L);
    if (control == 0) return false;
    // A layout without a Latin v (Russian, Greek…): a key code no key uses
    // becomes v. It stays v while we live: applications read the keyboard map
    // only when they translate the key, which may be after any change back.
    KeyCode v = XKeysymToKeycode(display, XK_v);
    if (v == 0 && borrowed_ == 0 && (borrowed_ = spareKeyCode(display)) != 0) {
        KeySym letters[] = {XK_v, XK_V};
        XChangeKeyboardMapping(display, borrowed_, 2, letters, 1);
        XSync(display, False);
        v = borrowed_;
    }
    if (v == 0) return false;

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

#pragma once
// Another X client, as a test needs one beside the program: it types with
// XTest (the server then treats the keys as a real keyboard's, auto-repeat
// included) and it grabs keys on the root window as a rival program would.
// Include after gtest: Xlib's macros (None, Status) clash with its names.

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <initializer_list>

namespace vell::test {

class X11Keys {
public:
    X11Keys() : display_(XOpenDisplay(nullptr)) {}
    ~X11Keys() {
        if (display_) XCloseDisplay(display_);
    }

    bool connected() const { return display_ != nullptr; }

    // Presses or lets go of each key in turn and sends at once.
    void down(std::initializer_list<KeySym> keys) { send(keys, True); }
    void up(std::initializer_list<KeySym> keys) { send(keys, False); }

    // Every lock state the program grabs the combination under: none, Caps, Num, both.
    static constexpr unsigned int lockStates[] = {0u, LockMask, Mod2Mask, LockMask | Mod2Mask};

    // Grabs Control+Alt+`key` with the extra lock modifiers on the root window
    // from this client; false when another client holds it.
    bool grab(KeySym key, unsigned int locks = 0) {
        XSync(display_, False);
        refused = false;
        XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent* error) {
            if (error->error_code == BadAccess) refused = true;
            return 0;
        });
        XGrabKey(display_, XKeysymToKeycode(display_, key), ControlMask | Mod1Mask | locks, DefaultRootWindow(display_),
                 False, GrabModeAsync, GrabModeAsync);
        XSync(display_, False);
        XSetErrorHandler(previous);
        return !refused;
    }
    void ungrab(KeySym key, unsigned int locks = 0) {
        XUngrabKey(display_, XKeysymToKeycode(display_, key), ControlMask | Mod1Mask | locks,
                   DefaultRootWindow(display_));
        XSync(display_, False);
    }

private:
    static inline bool refused = false;
    void send(std::initializer_list<KeySym> keys, Bool press) {
        for (KeySym key : keys) XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, key), press, CurrentTime);
        XSync(display_, False);
    }
    Display* display_;
};

}  // namespace vell::test

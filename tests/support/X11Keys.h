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
    X11Keys(const X11Keys&) = delete;
    X11Keys& operator=(const X11Keys&) = delete;

    bool connected() const { return display_ != nullptr; }

    // Presses or lets go of each key in turn and sends at once.
    void down(std::initializer_list<KeySym> keys) { send(keys, True); }
    void up(std::initializer_list<KeySym> keys) { send(keys, False); }

    // Lock states the program grabs the combination under.
    static constexpr unsigned int capsLock = LockMask;
    static constexpr unsigned int numLock = Mod2Mask;

    // Grabs Control+Alt+`key` with the extra lock modifiers on the root window
    // from this client; false when another client holds it.
    bool grab(KeySym key, unsigned int locks = 0) {
        XSync(display_, False);
        refused() = false;
        XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent* error) {
            if (error->error_code == BadAccess) refused() = true;
            return 0;
        });
        XGrabKey(display_, XKeysymToKeycode(display_, key), ControlMask | Mod1Mask | locks, DefaultRootWindow(display_),
                 False, GrabModeAsync, GrabModeAsync);
        XSync(display_, False);
        XSetErrorHandler(previous);
        return !refused();
    }
    void ungrab(KeySym key, unsigned int locks = 0) {
        XUngrabKey(display_, XKeysymToKeycode(display_, key), ControlMask | Mod1Mask | locks,
                   DefaultRootWindow(display_));
        XSync(display_, False);
    }
    // True when this client can take every lock state of the combination,
    // i.e. nobody else holds any of them; gives them back afterwards.
    bool allLockStatesFree(KeySym key) {
        bool free = true;
        for (unsigned int locks : {0u, capsLock, numLock, capsLock | numLock}) {
            free = grab(key, locks) && free;
            ungrab(key, locks);
        }
        return free;
    }

private:
    static bool& refused() {
        static bool value = false;
        return value;
    }
    void send(std::initializer_list<KeySym> keys, Bool press) {
        for (KeySym key : keys) XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, key), press, CurrentTime);
        XSync(display_, False);
    }
    Display* display_;
};

}  // namespace vell::test

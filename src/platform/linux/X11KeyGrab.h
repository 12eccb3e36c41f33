#pragma once
// A system-wide key grab on X11.
//
// Implements:
//   - XGrabKey on the root window, once per lock state (none, CapsLock,
//     NumLock, both), so the combination works whatever lock is on
//   - refusal when another client holds any of them (BadAccess, trapped
//     synchronously); then none of this grab's keys stay grabbed
//   - the program's key codes and modifier masks translated in one table
//   - its own X connection, read by a GLib source on the default main context
//     (no thread); the handler runs there
//   - detectable auto-repeat: a held key reports press, press, ..., release
//   - the release matched by key code alone, since the modifiers may be let go
//     first
// Does not implement: Wayland (no global grabs there), ScrollLock variants,
// following a keyboard-mapping change while grabbed (the key code is looked up
// at grab time).

#include <cstdint>
#include <memory>

#include "platform/KeyGrab.h"

struct _XDisplay;
typedef struct _GSource GSource;

namespace vell::platform {

class X11KeyGrab final : public KeyGrab {
public:
    // Opens its own connection to $DISPLAY; without one every grab fails.
    X11KeyGrab();
    ~X11KeyGrab() override;
    X11KeyGrab(const X11KeyGrab&) = delete;
    X11KeyGrab& operator=(const X11KeyGrab&) = delete;

    bool grab(Combination combination, Handler handler) override;
    void release() override;

    // Reads and handles every event already sent by the server. The GLib source
    // calls it; public so a caller without a running loop can pump it.
    void dispatchPending();

private:
    struct Grabbed {
        unsigned int keycode = 0;
        unsigned int modifiers = 0;
    };
    bool grabAllLockStates(const Grabbed& key);
    void ungrabAllLockStates(const Grabbed& key);

    _XDisplay* display_ = nullptr;
    GSource* source_ = nullptr;
    std::unique_ptr<Grabbed> grabbed_;
    Handler handler_;
};

}  // namespace vell::platform

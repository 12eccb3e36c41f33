#pragma once
// What the program does when its X display goes away.
//
// Implements:
//   - one Xlib I/O error handler for every X connection of the process (the
//     toolkit's, the key grab's, the outside-press watch's), installed after
//     the toolkit opened its display so that it replaces the toolkit's own
//   - last words, run once on whichever thread noticed the loss, then the
//     toolkit's way out: _exit(1), no core, no destructors
// Does not implement: going on without a display (GTK 3 cannot), reopening
// the display when the server comes back.

#include <functional>

namespace vell::platform {

class X11DisplayLoss {
public:
    // `lastWords` must not touch the display; it is called at most once.
    static void whenLost(std::function<void()> lastWords);
};

}  // namespace vell::platform

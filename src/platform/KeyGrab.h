#pragma once
// A system-wide grab of one key combination: presses and releases of it reach
// this process whichever application is in front. A combination another
// program holds is refused, never shared.

#include <cstdint>
#include <functional>

namespace vell::platform {

class KeyGrab {
public:
    // Key codes and modifier masks in the program's own terms (the values the
    // rest of the program uses: Space is 49; Control 0x1000, Option/Alt 0x0800,
    // Shift 0x0200, Command/Super 0x0100). Backends translate them once.
    struct Combination {
        std::uint32_t keyCode = 0;
        std::uint32_t modifiers = 0;
    };
    // Called by the backend for each press (true) and release (false) of the
    // grabbed combination, in event order. Which thread calls it is the
    // backend's; Hotkey moves the work to the main loop.
    using Handler = std::function<void(bool pressed)>;

    virtual ~KeyGrab() = default;
    // Claims the combination; false when it is taken or cannot be grabbed, and
    // then nothing of it stays grabbed. A second grab replaces the first.
    virtual bool grab(Combination combination, Handler handler) = 0;
    // Releases the grab; no handler call follows. Harmless when nothing is held.
    virtual void release() = 0;
};

}  // namespace vell::platform

#include "platform/linux/X11DisplayLoss.h"

#include <X11/Xlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <utility>

namespace vell::platform {

namespace {

std::function<void()>& lastWordsSlot() {
    static std::function<void()> lastWords;
    return lastWords;
}

// Xlib ends the process if this returns; it must not, and it must not call
// back into Xlib. Two connections may notice the loss at once: only the first
// one speaks.
int onDisplayLost(Display*) {
    static std::atomic_flag spoken = ATOMIC_FLAG_INIT;
    if (!spoken.test_and_set()) {
        if (auto& lastWords = lastWordsSlot()) lastWords();
        std::fputs("vell: the connection to the display was lost\n", stderr);
        ::_exit(1);
    }
    for (;;) ::pause();  // the first thread is ending the process
}

}  // namespace

void X11DisplayLoss::whenLost(std::function<void()> lastWords) {
    lastWordsSlot() = std::move(lastWords);
    XSetIOErrorHandler(onDisplayLost);
}

}  // namespace vell::platform

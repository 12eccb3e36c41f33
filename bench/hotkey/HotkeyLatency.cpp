// How long a person waits between the key and the action: from an XTest
// press of Control+Alt+Space to onDown running on the main loop, and from the
// release of Space to onUp. Goal: under 5 ms each. Prints the median and the
// range over the runs (run inside scripts/headless-session.sh).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "BenchLine.h"
#include "X11Keys.h"
#include "app/Hotkey.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/X11KeyGrab.h"

namespace {

using Clock = std::chrono::steady_clock;

void report(const char* name, const char* figure, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::fprintf(stderr, "%-16s median %.3f ms  min-max %.3f-%.3f ms  (%zu runs)\n", name, ms[ms.size() / 2],
                 ms.front(), ms.back(), ms.size());
    vell::bench::printLine(figure, ms, "ms", "<=5");
}

}  // namespace

int main() {
    vell::platform::GlibMainLoop loop;
    vell::platform::X11KeyGrab grab;
    vell::app::Hotkey hotkey(loop, grab);
    vell::test::X11Keys keyboard;
    if (!keyboard.connected() || !hotkey.registerKey(vell::app::Hotkey::spaceKey, vell::app::Hotkey::controlOption)) {
        std::fprintf(stderr, "no display or the combination is taken\n");
        return 1;
    }
    Clock::time_point ranAt;
    bool ran = false;
    int missed = 0;
    hotkey.onDown = hotkey.onUp = [&] {
        ranAt = Clock::now();
        ran = true;
    };
    // Sends the keys and runs the loop until the action ran; milliseconds between.
    auto measure = [&](auto send) {
        ran = false;
        const auto sentAt = Clock::now();
        send();
        if (!loop.runUntil([&] { return ran; }, 2)) ++missed;
        return std::chrono::duration<double, std::milli>(ranAt - sentAt).count();
    };
    std::vector<double> pressToDown, releaseToUp;
    constexpr int runs = 200;
    keyboard.down({XK_Control_L, XK_Alt_L});
    for (int i = 0; i < runs; ++i) {
        pressToDown.push_back(measure([&] { keyboard.down({XK_space}); }));
        releaseToUp.push_back(measure([&] { keyboard.up({XK_space}); }));
    }
    keyboard.up({XK_Alt_L, XK_Control_L});
    report("press to onDown", "hotkey.press_to_action", pressToDown);
    report("release to onUp", "hotkey.release_to_action", releaseToUp);
    if (missed) std::printf("%d actions never ran\n", missed);
    return missed ? 1 : 0;
}

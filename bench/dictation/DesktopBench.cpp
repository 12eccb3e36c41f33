// How long the main loop is held by the desktop questions the controller asks
// synchronously: the front application (before every fill) and accessibility
// trust (at every delivery, fill request and setup refresh).

#include <benchmark/benchmark.h>

#include "BenchLine.h"

#include "platform/linux/X11Desktop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

namespace {

void frontApplication(benchmark::State& state) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        state.SkipWithError("no display");
        return;
    }
    Window w = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 100, 100, 0, 0, 0);
    const unsigned long pid = static_cast<unsigned long>(::getpid());
    XChangeProperty(display, w, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
    XChangeProperty(display, DefaultRootWindow(display), XInternAtom(display, "_NET_ACTIVE_WINDOW", False), XA_WINDOW,
                    32, PropModeReplace, reinterpret_cast<const unsigned char*>(&w), 1);
    XSync(display, False);
    vell::platform::X11Desktop desktop;
    for (auto _ : state) benchmark::DoNotOptimize(desktop.frontApplication());
    XDestroyWindow(display, w);
    XCloseDisplay(display);
}
BENCHMARK(frontApplication)->Unit(benchmark::kMicrosecond);

void accessibilityTrusted(benchmark::State& state) {
    vell::platform::X11Desktop desktop;
    for (auto _ : state) benchmark::DoNotOptimize(desktop.accessibilityTrusted());
}
BENCHMARK(accessibilityTrusted)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    return vell::bench::runBenchmarks(argc, argv,
                                      {{"frontApplication", "desktop.front_application", "us"},
                                       {"accessibilityTrusted", "desktop.accessibility_trusted", "us"}});
}

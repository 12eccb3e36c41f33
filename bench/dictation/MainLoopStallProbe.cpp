// The longest gap between two turns of the main loop while the setup
// checklist is refreshed every 2 s (accessibility trust and the microphone's
// name), first with the accessibility bus and the sound server running, then
// with both stopped (SIGSTOP). Run it inside scripts/headless-session.sh.

#include <gio/gio.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "BenchLine.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/PulseAudioInput.h"
#include "platform/linux/X11Desktop.h"

namespace {

pid_t accessibilityBusProcess() {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return 0;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetConnectionUnixProcessID",
        g_variant_new("(s)", "org.a11y.Bus"), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    guint32 pid = 0;
    if (reply) g_variant_get(reply, "(u)", &pid), g_variant_unref(reply);
    g_object_unref(bus);
    return static_cast<pid_t>(pid);
}

pid_t soundServerProcess() {
    const char* runtime = std::getenv("PULSE_RUNTIME_PATH");
    pid_t pid = 0;
    if (runtime) std::ifstream(std::string(runtime) + "/pid") >> pid;
    return pid;
}

// Turns the loop for `seconds` with a 1 ms probe and a checklist refresh every
// 2 s; answers the longest gap between two probe turns, in seconds.
double longestGap(vell::platform::GlibMainLoop& loop, vell::platform::X11Desktop& desktop,
                  vell::platform::PulseAudioInput& input, double seconds) {
    double last = loop.now(), longest = 0;
    auto probe = loop.every(0.001, [&] {
        longest = std::max(longest, loop.now() - last);
        last = loop.now();
    });
    auto refresh = loop.every(2.0, [&] {
        desktop.accessibilityTrusted();
        input.defaultDeviceName();
    });
    const double end = loop.now() + seconds;
    loop.runUntil([&] { return loop.now() >= end; }, seconds + 1);
    probe.cancel();
    refresh.cancel();
    return longest;
}

}  // namespace

int main() {
    vell::platform::GlibMainLoop loop;
    vell::platform::X11Desktop desktop;
    vell::platform::PulseAudioInput input;
    std::printf("trusted %d, microphone %s\n", desktop.accessibilityTrusted(),
                input.defaultDeviceName().value_or("(none)").c_str());
    const double running = longestGap(loop, desktop, input, 6.5);
    std::printf("running:  longest main-loop gap %.1f ms\n", 1000 * running);
    vell::bench::printLine("setup_refresh.main_loop_gap", {1000 * running}, "ms");

    const pid_t a11y = accessibilityBusProcess(), sound = soundServerProcess();
    if (a11y <= 0 || sound <= 0) return std::fprintf(stderr, "no accessibility bus or sound server to stop\n"), 1;
    ::kill(a11y, SIGSTOP);
    ::kill(sound, SIGSTOP);
    const double stopped = longestGap(loop, desktop, input, 6.5);
    ::kill(a11y, SIGCONT);
    ::kill(sound, SIGCONT);
    std::printf("stopped:  longest main-loop gap %.1f ms\n", 1000 * stopped);
    vell::bench::printLine("setup_refresh.main_loop_gap.services_stopped", {1000 * stopped}, "ms");
    return 0;
}

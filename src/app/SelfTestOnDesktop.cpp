// The self test's view of this desktop: the real tray, key grab, sound
// server, accessibility bus and sign-in marker.

#include "app/SelfTest.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/PulseAudioInput.h"
#include "platform/linux/TrayStatusItem.h"
#include "platform/linux/X11Desktop.h"
#include "platform/linux/X11KeyGrab.h"
#include "session/SessionStore.h"

namespace vell::app {

int runSelfTestOnDesktop(std::ostream& out) {
    platform::GlibMainLoop loop;
    platform::X11KeyGrab keyGrab;
    platform::PulseAudioInput microphone;
    platform::X11Desktop desktop;
    // Only the marker is read: no web view is started for the report.
    session::SessionStore session(session::SessionStore::defaultDirectory(), [] { return nullptr; });
    SelfTest selfTest(out);
    return selfTest.run({
        .loop = loop,
        .runUntil = [&](const std::function<bool()>& done, double seconds) { return loop.runUntil(done, seconds); },
        .makeStatusItem = [] { return std::make_unique<platform::TrayStatusItem>(); },
        .keyGrab = keyGrab,
        .microphone = microphone,
        .desktop = desktop,
        .session = session,
    });
}

}  // namespace vell::app

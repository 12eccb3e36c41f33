#pragma once
// A fill as the program runs it, against a real GTK form in its own process:
// the controller on the GLib main loop, the fill engine over AT-SPI (through
// `accessibility`, which a test may wrap), a mapping service that fills three
// fields. The form is the front application; whether it has ended is asked
// of the system, as the desktop does.

#include <signal.h>

#include <cerrno>
#include <memory>
#include <string>

#include "ControllerDoubles.h"
#include "dictation/DictationController.h"
#include "fill/FillEngine.h"
#include "integration/fill/FormProcess.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/GlibMainLoop.h"

namespace vell::test {

class RunningApplication : public ApplicationDouble {
public:
    using ApplicationDouble::ApplicationDouble;
    bool isTerminated() const override { return ::kill(processId(), 0) != 0 && errno == ESRCH; }
};

struct FillScene {
    using Controller = dictation::DictationController;

    explicit FillScene(platform::Accessibility& accessibility) : engine(accessibility) {
        parts.fillService.mapping.values = {{"f0", "Ada Lovelace"}, {"f1", "ada@example.com"}, {"f3", "Paris"}};
        parts.desktop.front = std::make_shared<RunningApplication>(form.pid(), "Form");
        controller = Controller::create({parts.loop, parts.recorder, parts.recogniser, engine, parts.fillService,
                                         parts.paste, parts.session, parts.desktop, parts.clipboard, parts.loginItem});
    }
    ~FillScene() {
        controller.reset();
        parts.loop.runFor(0.2);
    }

    // Whether the form's window is up and its fields can be read.
    bool formReadable() {
        if (!form.waitReady()) return false;
        platform::AtspiAccessibility direct;
        fill::FillEngine reader(direct);
        return waitUntil([&] { return reader.enumerate(form.pid(), 40).size() >= 4; });
    }

    // Fills the form from a note; true once the fill has ended (a hung
    // target holds it for a 2 s time-out per step at most).
    bool fill() {
        controller->fillFromNote("note-1", "Contact");
        return parts.loop.runUntil([&] { return controller->phase() == Controller::Phase::idle(); }, 20);
    }

    ControllerParts<platform::GlibMainLoop> parts;
    FormProcess form{{VELL_FORM_FIXTURE}};
    fill::FillEngine engine;
    std::shared_ptr<Controller> controller;
};

}  // namespace vell::test

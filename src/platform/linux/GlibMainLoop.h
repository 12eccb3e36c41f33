#pragma once
// The product's main loop: GLib's default main context on the main thread and
// a GLib thread pool for background work.

#include <glib.h>

#include <functional>

#include "platform/MainLoop.h"

namespace vell::platform {

class GlibMainLoop final : public MainLoop {
public:
    GlibMainLoop();
    ~GlibMainLoop() override;

    void post(std::function<void()> fn) override;
    Timer after(double seconds, std::function<void()> fn) override;
    Timer every(double seconds, std::function<void()> fn) override;
    void background(std::function<void()> work) override;
    double now() const override;

    // Iterates the default context until `done` holds or the time-out passes;
    // true when `done` held. For tests and the self test; the application runs
    // GTK's own loop.
    bool runUntil(const std::function<bool()>& done, double timeoutSeconds);
    // Iterates the default context for the given time.
    void runFor(double seconds);
    // Waits for every background job queued so far; later ones run as usual.
    // Called before the parts that background work uses are torn down.
    void finishBackgroundWork();

private:
    GThreadPool* pool_;
};

}  // namespace vell::platform

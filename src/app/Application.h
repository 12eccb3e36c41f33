#pragma once
// The composition root: builds every part of the program on the Linux
// platform, wires them together as the program runs them, and runs the main
// loop. Until the tray item, the hotkey and the floating panel arrive, the web
// application is shown in a plain window with a one-line status of the
// controller above it.

#include <memory>

namespace vell::app {

class Application {
public:
    Application();
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Runs until the window is closed; returns the process's exit status.
    int run(int argc, char** argv);

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

}  // namespace vell::app

#pragma once
// The application process: one instance per user session. The first start
// builds the program and lives in the tray; a later start (`vell LINK`) hands
// its links, byte for byte, to the running instance over D-Bus and exits.

#include <memory>

namespace vell::app {

class Program;

class Application {
public:
    // The D-Bus name that makes the instance unique.
    static constexpr const char* applicationId = "so.vell.Vell";

    Application();
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Runs until the person quits; returns the process's exit status.
    int run(int argc, char** argv);

private:
    std::unique_ptr<Program> program_;
};

}  // namespace vell::app

#pragma once
// The command-line self test: prints a report on standard output and returns
// the process's exit status (0 when every check passed, 1 otherwise). It
// changes nothing lasting: the tray item it shows and the key it grabs are
// released before it returns.

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "platform/AudioInput.h"
#include "platform/Desktop.h"
#include "platform/KeyGrab.h"
#include "platform/MainLoop.h"
#include "platform/StatusItem.h"
#include "session/Session.h"

namespace vell::app {

class SelfTest {
public:
    // The pieces of the desktop the report looks at.
    struct Platform {
        platform::MainLoop& loop;
        // Turns the main loop until `done` holds or the time is up; true when it held.
        std::function<bool(const std::function<bool()>& done, double seconds)> runUntil;
        std::function<std::unique_ptr<platform::StatusItem>()> makeStatusItem;
        platform::KeyGrab& keyGrab;
        platform::AudioInput& microphone;
        platform::Desktop& desktop;
        const session::Session& session;
    };

    // How long a tray host may take to accept the item.
    static constexpr double trayHostWait = 3.0;

    explicit SelfTest(std::ostream& out) : out_(out) {}

    int run(const Platform& platform);

    // One check line; a failure raises the counter.
    void check(std::string_view label, bool ok, std::string_view detail);
    // One information line, indented to the width of "PASS  ".
    void info(std::string_view label, std::string_view text);
    int failures() const { return failures_; }

private:
    std::ostream& out_;
    int failures_ = 0;
};

// The self test on this desktop's own pieces (built with the program's
// composition root).
int runSelfTestOnDesktop(std::ostream& out);

}  // namespace vell::app

#pragma once
// Diagnostic reports asked for by vell://debug links while the flag file
// "debug-enabled" exists in the program's data folder: the web application's
// sign-in (`token`) and a complete form fill against a chosen process with
// every stage (`fill`). Each report is pretty JSON written over the file the
// link names; nothing is shown and the controller's state is not touched.

#include <filesystem>
#include <string>

#include <functional>
#include <map>
#include "app/Links.h"

#include "fill/FieldMapping.h"
#include "fill/FormAccess.h"
#include "platform/Desktop.h"
#include "platform/MainLoop.h"
#include "platform/Task.h"

namespace vell::session {
class PanelWebView;
}

namespace vell::app {

class DebugCommands {
public:
    static constexpr const char* flagFileName = "debug-enabled";
    static constexpr std::string_view pageProbe =
        "JSON.stringify({ready: document.readyState, bridge: !!window.__vellBridge, keys: "
        "Object.keys(localStorage), body: (document.body?.innerText || '').slice(0, 120)})";

    struct Services {
        platform::MainLoop& loop;
        platform::Desktop& desktop;
        fill::FormAccess& fillEngine;
        fill::FieldMapping& fillService;
        // How the target process's windows answer (FillEngine::diagnose).
        std::function<std::map<std::string, int>(pid_t)> diagnose;
    };

    // `folder` holds the flag file; it is looked for anew at every command.
    DebugCommands(Services services, std::filesystem::path folder);

    bool enabled() const;
    // Starts the command in the background of the main loop when enabled.
    void run(const links::TokenReport& command);
    void run(const links::FillReport& command);

private:
    static Task<> token(platform::MainLoop& loop, links::TokenReport command);
    static Task<> fill(Services services, links::FillReport command);

    Services services_;
    std::filesystem::path folder_;
};

}  // namespace vell::app

#pragma once
// The running application: at launch it builds the long-lived parts in their
// order (web view and session store, controller, tray item, hidden panel) and
// wires them together; it keeps the tray item drawn after every change of the
// controller, turns the hotkey into hold-to-talk, keeps the setup checklist
// fresh until it is complete, answers the tray item's clicks and menu, and
// handles the program's vell:// links. On quit it releases only the hotkey.
//
// Main loop only. Every callback it hands out holds it weakly.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/DebugCommands.h"
#include "app/Hotkey.h"
#include "app/Links.h"
#include "audio/Recogniser.h"
#include "audio/Recording.h"
#include "dictation/DictationController.h"
#include "fill/FieldMapping.h"
#include "fill/FormAccess.h"
#include "fill/Insertion.h"
#include "panel/FloatingPanel.h"
#include "panel/PanelView.h"
#include "platform/Clipboard.h"
#include "platform/Desktop.h"
#include "platform/KeyGrab.h"
#include "platform/MainLoop.h"
#include "platform/PanelWindow.h"
#include "platform/StatusItem.h"
#include "platform/SystemSettings.h"
#include "session/PanelWebView.h"
#include "session/Session.h"

namespace vell::app {

class AppDelegate {
public:
    using Controller = dictation::DictationController;

    // The controller's collaborators, built once the session store exists.
    struct Modules {
        audio::Recording& recorder;
        audio::Recogniser& recogniser;
        fill::FormAccess& fillEngine;
        fill::FieldMapping& fillService;
        fill::Insertion& paste;
        platform::Clipboard& clipboard;
        platform::LoginItem& loginItem;
        std::function<std::map<std::string, int>(pid_t)> diagnose;  // for the debug fill report
    };

    // What the platform's composition hands the delegate; each part outlives it.
    struct Platform {
        platform::MainLoop& loop;
        platform::Desktop& desktop;
        platform::KeyGrab& keyGrab;
        platform::SystemSettings& systemSettings;
        // The panel's web view, when no shared one exists yet.
        std::function<std::shared_ptr<session::PanelWebView>()> makeWebView;
        std::function<Modules(session::Session& session)> makeModules;
        std::function<std::unique_ptr<platform::StatusItem>()> makeStatusItem;
        // The panel's window showing the panel view of `controller` with `actions`
        // (it keeps whatever draws the view alive).
        std::function<std::shared_ptr<platform::PanelWindow>(std::shared_ptr<Controller> controller,
                                                             panel::PanelView::Actions actions)>
            makePanelWindow;
        std::function<void()> terminate;
        std::string apiBase;
        // The program's data folder, where the debug flag file is looked for.
        std::filesystem::path dataFolder;
    };

    static constexpr double setupWatchPeriod = 2.0;
    static constexpr double firstPanelDelay = 0.6;

    explicit AppDelegate(Platform platform);
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    // A vell:// link as the system delivered it, byte for byte.
    void handleURL(std::string_view text);

    // The tray item's primary click, its menu (built when it opens) and its actions.
    void statusItemClicked();
    platform::StatusItem::Menu contextMenu();
    void togglePanel();
    void menuOpenPanel();
    void menuOpenWeb();
    void menuSignIn();
    void menuSignOut();
    void openWebApp(const std::string& path);
    void openAccessibility();
    void render();

    Controller* controller() const { return controller_.get(); }
    panel::FloatingPanel* panel() const { return panel_.get(); }
    bool setupWatchRunning() const { return !setupWatch_.cancelled(); }

private:
    void adoptSession(const links::SignIn& signIn);
    // A callback that runs `step` on this delegate while it lives.
    template <typename Step>
    auto weakly(Step step) {
        return [alive = std::weak_ptr<int>(alive_), this, step](auto&&... args) {
            if (alive.lock()) step(*this, std::forward<decltype(args)>(args)...);
        };
    }

    Platform platform_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);

    std::unique_ptr<platform::StatusItem> statusItem_;
    std::shared_ptr<platform::PanelWindow> panelWindow_;
    std::unique_ptr<panel::FloatingPanel> panel_;
    std::shared_ptr<Controller> controller_;
    Hotkey hotkey_;
    platform::MainLoop::Timer setupWatch_;
    dictation::ChangeSignal::Subscription observer_;
    std::optional<DebugCommands> debug_;
    bool renderPending_ = false;
};

}  // namespace vell::app

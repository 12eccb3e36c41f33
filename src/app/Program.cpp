#include "app/Program.h"

#include "app/Config.h"
#include "platform/linux/GtkPanel.h"
#include "session/PanelWebView.h"
#include "session/SessionStore.h"

namespace vell::app {

Program::Options Program::standard() {
    Options options;
    options.platform.program = platform::LinuxPlatform::ownExecutable();
    options.apiBase = Config::apiBase();
    options.authBase = Config::supabaseURL();
    options.dataFolder = session::SessionStore::defaultDirectory();
    return options;
}

Program::Program(Options chosen, std::function<void()> terminate)
    : options(std::move(chosen)), platform(options.platform) {
    session::SessionStore::setShared(std::make_shared<session::SessionStore>(options.dataFolder, [] {
        return std::static_pointer_cast<session::SessionBridge>(session::PanelWebView::shared());
    }));
    delegate_ = std::make_unique<AppDelegate>(AppDelegate::Platform{
        platform.loop,
        platform.desktop,
        platform.keyGrab,
        platform.systemSettings,
        [this] {
            return session::PanelWebView::create(platform.loop, platform.makeWebView(),
                                                 {options.apiBase, options.authBase},
                                                 [this](std::string url) { platform.desktop.openInBrowser(url); });
        },
        [this](session::Session& session) { return modules(session); },
        [this] { return platform.makeStatusItem(); },
        [this](std::shared_ptr<AppDelegate::Controller> controller, panel::PanelView::Actions actions) {
            auto panel = std::make_shared<platform::GtkPanel>(platform::GtkPanel::Services{
                std::move(controller), std::move(actions), platform.settings, platform.clipboard,
                [] { session::SessionStore::shared().clear(); },
                static_cast<GtkWidget*>(session::PanelWebView::shared()->webView().nativeView())});
            return std::shared_ptr<platform::PanelWindow>(panel, &panel->window());
        },
        std::move(terminate),
        options.apiBase,
        options.dataFolder,
    });
}

Program::~Program() {
    delegate_.reset();
    session::SessionStore::setShared(nullptr);
    session::PanelWebView::setShared(nullptr);
}

AppDelegate::Modules Program::modules(session::Session& session) {
    recogniser_.emplace(session, platform.http, platform.loop, options.apiBase, options.recogniserIdleTimeout);
    fillService_.emplace(session, platform.http, platform.loop, options.apiBase, options.fillTimeout);
    return {recorder_, *recogniser_,       fillEngine_,        *fillService_,
            paste_,    platform.clipboard, platform.loginItem, [this](pid_t pid) { return fillEngine_.diagnose(pid); }};
}

}  // namespace vell::app

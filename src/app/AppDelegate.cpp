#include "app/AppDelegate.h"

#include <array>
#include <string_view>
#include <utility>

#include "platform/PlatformTexts.h"
#include "session/SessionStore.h"

namespace vell::app {
namespace {

using Case = dictation::DictationController::Phase::Case;
using Mode = dictation::DictationController::Mode;

// The tray item's symbol and text for each phase.
struct Look {
    Case phase;
    const char* symbol;
    const char* text;
};
constexpr std::array<Look, 4> looks{{
    {Case::idle, "mic", "Vell — click for the panel, hold ⌃⌥Space to dictate"},
    {Case::recording, "mic.fill", "Vell — listening"},
    {Case::transcribing, "ellipsis", "Vell — transcribing"},
    {Case::filling, "square.and.pencil", "Vell — filling"},
}};

const Look& lookOf(Case phase) {
    for (const auto& look : looks)
        if (look.phase == phase) return look;
    return looks.front();
}

}  // namespace

AppDelegate::AppDelegate(Platform platform)
    : platform_(std::move(platform)), hotkey_(platform_.loop, platform_.keyGrab) {}

AppDelegate::~AppDelegate() { setupWatch_.cancel(); }

void AppDelegate::applicationDidFinishLaunching() {
    // 1. The web view first: the session store asks it for tokens.
    if (!session::PanelWebView::shared()) session::PanelWebView::setShared(platform_.makeWebView());
    auto& store = session::SessionStore::shared();
    store.migrateIfNeeded();

    // 2. The controller.
    const Modules modules = platform_.makeModules(store);
    controller_ = Controller::create({platform_.loop, modules.recorder, modules.recogniser, modules.fillEngine,
                                      modules.fillService, modules.paste, store, platform_.desktop, modules.clipboard,
                                      modules.loginItem});
    debug_.emplace(DebugCommands::Services{platform_.loop, platform_.desktop, modules.fillEngine, modules.fillService,
                                           modules.diagnose},
                   platform_.dataFolder);

    // 3. The tray item: a primary click toggles the panel; the menu is built as it opens.
    statusItem_ = platform_.makeStatusItem();
    statusItem_->setOnPrimaryClick(weakly([](AppDelegate& self) { self.statusItemClicked(); }));
    statusItem_->setMenuProvider([alive = std::weak_ptr<int>(alive_), this] {
        return alive.lock() ? contextMenu() : platform::StatusItem::Menu{};
    });

    // 4. The panel, hidden.
    panel::PanelView::Actions actions{
        weakly([](AppDelegate& self) { self.openWebApp("/app"); }),
        weakly([](AppDelegate& self) { self.openWebApp("/app#/desktop"); }),
        weakly([](AppDelegate& self) { self.openAccessibility(); }),
        platform_.terminate,
    };
    panelWindow_ = platform_.makePanelWindow(controller_, std::move(actions));
    panel_ = std::make_unique<panel::FloatingPanel>(*panelWindow_);

    // 5, 6. The change signal comes before the change: draw on the next turn, once per turn.
    observer_ = controller_->subscribe(weakly([](AppDelegate& self) {
        if (std::exchange(self.renderPending_, true)) return;
        self.platform_.loop.post(self.weakly([](AppDelegate& me) {
            me.renderPending_ = false;
            me.render();
        }));
    }));
    render();

    // 7. Hold to talk.
    hotkey_.registerKey(Hotkey::spaceKey, Hotkey::controlOption);
    hotkey_.onDown = weakly([](AppDelegate& self) {
        if (self.controller_->phase().isIdle()) self.controller_->begin(Mode::dictate);
    });
    hotkey_.onUp = weakly([](AppDelegate& self) {
        auto& controller = *self.controller_;
        const bool dictating = controller.phase() == Controller::Phase::recording(Mode::dictate);
        if (dictating || controller.isStarting(Mode::dictate)) controller.finish();
    });

    // 8. A paste goes to the application underneath.
    controller_->willInsert = weakly([](AppDelegate& self) { self.panel_->hide(); });

    // 9. The web application's two requests.
    auto view = session::PanelWebView::shared();
    view->onNoteFill = weakly([](AppDelegate& self, std::string noteId, std::optional<std::string> title) {
        self.platform_.loop.post(
            self.weakly([noteId, title](AppDelegate& me) { me.controller_->fillFromNote(noteId, title); }));
    });
    view->onInsertText = weakly([](AppDelegate& self, std::string text) {
        self.platform_.loop.post(self.weakly([text](AppDelegate& me) { me.controller_->insertText(text); }));
    });

    // 10. The checklist is measured again until it is complete, then never again.
    setupWatch_ = platform_.loop.every(setupWatchPeriod, weakly([](AppDelegate& self) {
                                           self.controller_->refreshSetup();
                                           if (self.controller_->setup().complete()) self.setupWatch_.cancel();
                                       }));

    // 11. An incomplete setup opens the panel shortly after launch.
    if (!controller_->setup().complete())
        platform_.loop.after(firstPanelDelay, weakly([](AppDelegate& self) { self.menuOpenPanel(); }));
}

void AppDelegate::applicationWillTerminate() { hotkey_.unregister(); }

void AppDelegate::render() {
    if (!statusItem_ || !controller_) return;
    const Look& look = lookOf(controller_->phase().kind());
    const std::string text = platform::platformText(look.text);
    const bool hasImage = statusItem_->setImage(look.symbol, text);
    statusItem_->setToolTip(text);
    statusItem_->setTitle(controller_->setup().complete() && hasImage ? "" : " Vell");
}

void AppDelegate::statusItemClicked() { togglePanel(); }

platform::StatusItem::Menu AppDelegate::contextMenu() {
    using Item = platform::StatusItem::MenuItem;
    const bool signedIn = session::SessionStore::shared().isSignedIn();
    return {
        Item{"Open panel", weakly([](AppDelegate& self) { self.menuOpenPanel(); })},
        Item{"Open Vell on the web", weakly([](AppDelegate& self) { self.menuOpenWeb(); })},
        Item::separator(),
        signedIn ? Item{"Sign out", weakly([](AppDelegate& self) { self.menuSignOut(); })}
                 : Item{"Sign in…", weakly([](AppDelegate& self) { self.menuSignIn(); })},
        Item::separator(),
        Item{"Quit Vell", platform_.terminate},
    };
}

void AppDelegate::togglePanel() {
    if (!panel_) return;
    if (panel_->isVisible()) return panel_->hide();
    controller_->refreshSetup();
    panel_->show();
}

void AppDelegate::menuOpenPanel() {
    if (!panel_) return;
    controller_->refreshSetup();
    panel_->show();
}

void AppDelegate::menuOpenWeb() { openWebApp("/app"); }

void AppDelegate::menuSignIn() { openWebApp("/app#/desktop"); }

void AppDelegate::menuSignOut() {
    session::SessionStore::shared().clear();
    if (!controller_) return;
    controller_->clearHistory();
    controller_->refreshSetup();
}

void AppDelegate::openWebApp(const std::string& path) {
    const std::string address = platform_.apiBase + path;
    auto parts = links::split(address);
    if (!parts || parts->host.empty()) return;  // not an address a browser can open
    platform_.desktop.openInBrowser(address);
}

void AppDelegate::openAccessibility() {
    platform_.systemSettings.enableAccessibility();
    platform_.systemSettings.openAccessibilitySettings();
}

void AppDelegate::handleURL(std::string_view text) {
    auto link = links::read(text);
    if (!link) return;
    if (auto* signIn = std::get_if<links::SignIn>(&*link)) return adoptSession(*signIn);
    if (!debug_) return;
    if (auto* token = std::get_if<links::TokenReport>(&*link)) debug_->run(*token);
    if (auto* fill = std::get_if<links::FillReport>(&*link)) debug_->run(*fill);
}

void AppDelegate::adoptSession(const links::SignIn& signIn) {
    session::SessionStore::shared().adopt(signIn.accessToken, signIn.refreshToken, signIn.expiresAt, signIn.email);
    if (!controller_) return;
    controller_->refreshSetup();
    menuOpenPanel();
}

}  // namespace vell::app

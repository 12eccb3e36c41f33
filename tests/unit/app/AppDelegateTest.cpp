// The application delegate on fakes and the virtual clock: the launch in its
// order, the tray item's look, clicks and menu, hold-to-talk, the first panel,
// the setup watch, and the program's links.
#include <gtest/gtest.h>

#include <functional>

#include "ControllerDoubles.h"
#include "FakeKeyGrab.h"
#include "FakeShell.h"
#include "FakeWebView.h"
#include "VirtualLoop.h"
#include "app/AppDelegate.h"
#include "session/SessionStore.h"

namespace vell::app {
namespace {

using Mode = dictation::DictationController::Mode;
using Phase = dictation::DictationController::Phase;

class AppDelegateTest : public ::testing::Test, public test::ControllerParts<test::VirtualLoop> {
public:
    AppDelegateTest() {
        session::PanelWebView::setShared(nullptr);
        session::SessionStore::setShared(
            std::make_shared<session::SessionStore>(folder / "Vell", [] { return session::PanelWebView::shared(); }));
    }
    ~AppDelegateTest() override {
        quit();
        session::SessionStore::setShared(nullptr);
    }

    void launch() {
        delegate = std::make_unique<AppDelegate>(AppDelegate::Platform{
            loop, desktop, keyGrab, settings,
            [this] {
                events.push_back("web view");
                return session::PanelWebView::create(loop, std::make_unique<test::FakeWebView>(loop, view),
                                                     {apiBase, apiBase}, {});
            },
            [this](session::Session&) {
                events.push_back("modules");
                return AppDelegate::Modules{recorder, recogniser, fillEngine, fillService, paste, clipboard, loginItem};
            },
            [this] {
                events.push_back("status item");
                auto item = std::make_unique<test::FakeStatusItem>();
                tray = item.get();
                return item;
            },
            [this](std::shared_ptr<dictation::DictationController>, panel::PanelView::Actions) {
                events.push_back(tray->symbol || keyGrab.held() ? "panel after render or hotkey" : "panel");
                auto window = std::make_unique<test::FakePanelWindow>();
                panelWindow = window.get();
                return window;
            },
            [this] { events.push_back("terminate"); }, apiBase, folder / "Vell"});
        delegate->applicationDidFinishLaunching();
        loop.runUntilIdle();
    }
    void quit() {
        delegate.reset();
        session::PanelWebView::setShared(nullptr);
        loop.advance(60);
    }
    void signIn() { session::SessionStore::shared().adopt("at", "rt", std::nullopt, "ada@example.com"); }
    Phase phase() const { return delegate->controller()->phase(); }
    // Holds the hotkey; held for no time, it is let go before the press is handled.
    void holdFor(double seconds) {
        keyGrab.keyDown();
        if (seconds > 0) loop.advance(seconds);
        keyGrab.keyUp();
        loop.runUntilIdle();
    }

    test::FakeKeyGrab keyGrab;
    test::FakeSystemSettings settings;
    std::shared_ptr<test::FakeWebView::Record> view = std::make_shared<test::FakeWebView::Record>();
    std::string apiBase = "http://127.0.0.1:9";
    test::FakeStatusItem* tray = nullptr;
    test::FakePanelWindow* panelWindow = nullptr;
    std::vector<std::string> events;
    std::unique_ptr<AppDelegate> delegate;
};

// With the setup complete the panel stays hidden and nothing watches the setup.
TEST_F(AppDelegateTest, LaunchBuildsEachPartInOrderThenDrawsAndGrabsTheHotkey) {
    signIn();
    launch();
    EXPECT_EQ(events, (std::vector<std::string>{"web view", "modules", "status item", "panel"}));
    EXPECT_EQ(tray->symbol, "mic");
    ASSERT_TRUE(keyGrab.held());
    EXPECT_EQ(keyGrab.held()->keyCode, 49u);
    EXPECT_EQ(keyGrab.held()->modifiers, 0x1800u);
    loop.advance(5);
    EXPECT_FALSE(panelWindow->visible);
    EXPECT_FALSE(delegate->setupWatchRunning());
    delegate->applicationWillTerminate();
    EXPECT_FALSE(keyGrab.held()) << "quitting releases the hotkey";
}

// The tray item's look per phase, and the name beside it until the setup is complete.
TEST_F(AppDelegateTest, TrayItemLooksFollowThePhaseAndTheSetup) {
    const char* idleText = "Vell — click for the panel, hold Ctrl+Alt+Space to dictate";
    auto idle = [](AppDelegateTest&) {};
    auto record = [](AppDelegateTest& t) { t.keyGrab.keyDown(); };
    auto transcribe = [](AppDelegateTest& t) { t.holdFor(1); };
    auto fill = [](AppDelegateTest& t) {
        t.fillEngine.fields = {test::FillEngineDouble::field("f0", "Name")};
        t.delegate->controller()->toggleFill();
        t.loop.advance(1);
        t.delegate->controller()->toggleFill();
        t.loop.advance(t.recogniser.uploadSeconds + 0.01);
    };
    struct Row {
        std::function<void(AppDelegateTest&)> reach;
        Phase phase;
        bool complete, symbolKnown;
        const char *symbol, *text, *title;
    };
    const Row rows[] = {
        {idle, Phase::idle(), true, true, "mic", idleText, ""},
        {idle, Phase::idle(), false, true, "mic", idleText, " Vell"},
        {idle, Phase::idle(), true, false, "", idleText, " Vell"},
        {record, Phase::recording(Mode::dictate), true, true, "mic.fill", "Vell — listening", ""},
        {transcribe, Phase::transcribing(Mode::dictate), true, true, "ellipsis", "Vell — transcribing", ""},
        {fill, Phase::filling(), true, true, "square.and.pencil", "Vell — filling", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        signIn();
        desktop.trusted = row.complete;
        launch();
        if (!row.symbolKnown) tray->knownSymbols.clear();
        row.reach(*this);
        loop.runUntilIdle();
        delegate->render();
        ASSERT_EQ(phase(), row.phase);
        EXPECT_EQ(tray->symbol.value_or(""), row.symbol);
        EXPECT_EQ(tray->toolTip, row.text);
        EXPECT_EQ(tray->title, row.title);
        quit();
    }
}

TEST_F(AppDelegateTest, PrimaryClickTogglesThePanelAndTheMenuIsDecidedWhenItOpens) {
    launch();
    tray->primaryClick();
    EXPECT_TRUE(panelWindow->visible);
    tray->primaryClick();
    EXPECT_FALSE(panelWindow->visible);

    EXPECT_EQ(tray->menuTitles(),
              (std::vector<std::string>{"Open panel", "Open Vell on the web", "-", "Sign in…", "-", "Quit Vell"}));
    EXPECT_FALSE(panelWindow->visible) << "opening the menu leaves the panel alone";
    signIn();
    EXPECT_EQ(tray->menuTitles()[3], "Sign out");
    tray->choose("Sign out");
    EXPECT_FALSE(session::SessionStore::shared().isSignedIn());
    tray->choose("Sign in…");
    tray->choose("Quit Vell");
    EXPECT_EQ(desktop.opened, (std::vector<std::string>{"http://127.0.0.1:9/app#/desktop"}));
    EXPECT_EQ(events.back(), "terminate");
}

TEST_F(AppDelegateTest, HotkeyHoldsToTalkOnlyForItsOwnDictation) {
    signIn();
    launch();
    holdFor(0);  // a quick tap
    loop.advance(1);
    EXPECT_EQ(recorder.starts, 1);
    EXPECT_EQ(phase(), Phase::idle()) << "the tap's take is dropped, not left running";
    EXPECT_TRUE(recogniser.calls.empty());

    holdFor(1);
    EXPECT_EQ(phase(), Phase::transcribing(Mode::dictate));
    holdFor(1);  // held while transcribing
    EXPECT_EQ(recorder.starts, 2);

    delegate->controller()->toggleFill();  // the panel's fill recording
    loop.advance(1);
    holdFor(0);
    EXPECT_EQ(phase(), Phase::recording(Mode::fill));
}

TEST_F(AppDelegateTest, IncompleteSetupShowsThePanelAfterLaunchAndIsWatchedUntilComplete) {
    desktop.trusted = false;
    launch();
    loop.advance(0.59);
    EXPECT_FALSE(panelWindow->visible);
    loop.advance(0.02);
    EXPECT_TRUE(panelWindow->visible);

    signIn();
    const int questions = desktop.trustQuestions;
    loop.advance(2.0 - 0.61);
    EXPECT_EQ(desktop.trustQuestions, questions + 1) << "one measure at 2.0 s";
    desktop.trusted = true;
    loop.advance(2.0);
    EXPECT_TRUE(delegate->controller()->setup().complete());
    EXPECT_FALSE(delegate->setupWatchRunning());

    tray->choose("Sign out");
    const int afterSignOut = desktop.trustQuestions;
    loop.advance(10);
    EXPECT_EQ(desktop.trustQuestions, afterSignOut) << "sign-out does not restart the watch";
}

// Debug reports and what the flag file decides are checked on the program as a process.
TEST_F(AppDelegateTest, ASignInLinkOpensThePanelAndOutsideActionsNeedAValidAddress) {
    apiBase = "http://bad host";
    launch();
    delegate->handleURL("vell://auth#access_token=a&refresh_token=r&email=ada%40example.com");
    EXPECT_EQ(session::SessionStore::shared().email(), "ada@example.com");
    EXPECT_TRUE(delegate->controller()->setup().signedIn);
    EXPECT_TRUE(panelWindow->visible);

    delegate->menuOpenWeb();
    EXPECT_TRUE(desktop.opened.empty());
    delegate->openAccessibility();
    EXPECT_EQ(settings.calls, (std::vector<std::string>{"enable", "open"})) << "the switch comes first";
}

}  // namespace
}  // namespace vell::app

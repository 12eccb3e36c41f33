// The panel's web view in real WebKitGTK, against pages served on loopback.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "ChildProcesses.h"
#include "LoopbackServer.h"
#include "ScratchFolder.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/WebKitWebView.h"
#include "session/PanelWebView.h"

namespace vell::session {
namespace {

using nlohmann::json;
using platform::WebView;

constexpr double patience = 60;  // a loaded two-core machine may be slow; never a fixed sleep

// The service, its authentication host and a stranger's site, for the whole program.
struct Sites {
    test::LoopbackServer service{"127.0.0.1"};
    test::LoopbackServer auth{"127.0.0.2"};   // may load in the view, may not talk
    test::LoopbackServer other{"127.0.0.1"};  // another port: another site
};
Sites& sites() {
    static Sites instance;
    return instance;
}

// Forwards every delegate call to the panel and keeps what WebKit reported,
// so a test can tell a call the panel refused from one that never came.
class SpyDelegate final : public WebView::Delegate {
public:
    explicit SpyDelegate(std::shared_ptr<PanelWebView> panel) : panel_(std::move(panel)) {}
    void didReceiveScriptMessage(const WebView::ScriptMessage& message) override {
        messages.push_back(message);
        panel_->didReceiveScriptMessage(message);
    }
    WebView::Policy decideNavigation(const WebView::Navigation& navigation) override {
        navigations.push_back(navigation.url.value_or(""));
        return panel_->decideNavigation(navigation);
    }
    void requestNewWindow(const std::optional<std::string>& url) override { panel_->requestNewWindow(url); }
    bool decideMediaCapture(const WebView::MediaRequest& request) override {
        media.push_back(request);
        return panel_->decideMediaCapture(request);
    }
    std::vector<WebView::ScriptMessage> messages;
    std::vector<WebView::MediaRequest> media;
    std::vector<std::string> navigations;

private:
    std::shared_ptr<PanelWebView> panel_;
};

const std::string tokenBridge = R"(<!doctype html><title>app</title><script>
  window.__vellBridge = {
    token: async () => { await new Promise(r => setTimeout(r, 20)); return "tok-123"; },
    email: async () => "ada@example.com",
    adopt: async (a, r) => { window.__adopted = [a, r]; return true; },
  };
  window.__frames = [];
  addEventListener("message", (e) => window.__frames.push(e.data));
</script><p>app</p>)";

class PanelWebViewIntegration : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display"; }
    static void TearDownTestSuite() {
        // WebKit's processes end shortly after their view; none may outlive the test.
        platform::GlibMainLoop loop;
        EXPECT_TRUE(loop.runUntil([] { return test::childProcesses().empty(); }, patience));
    }
    void TearDown() override {
        panel.reset();
        if (window) gtk_widget_destroy(window);
        loop.runFor(0.1);
    }

    // The panel over a real web view in a shown window; waits for the start page.
    void open(const std::string& appPage, bool mockDevices = false) {
        server.page("/app", appPage);
        auto view = std::make_unique<platform::WebKitWebView>(
            platform::WebKitWebView::Options{dataDir / "WebKit", dataDir / "cache", mockDevices});
        raw = view.get();
        panel = PanelWebView::create(loop, std::move(view), {server.baseURL(), auth.baseURL()},
                                     [this](std::string url) { opened.push_back(std::move(url)); });
        spy = std::make_shared<SpyDelegate>(panel);
        raw->setDelegate(spy);
        panel->onNoteFill = [this](std::string id, std::optional<std::string> title) { notes.emplace_back(id, title); };
        panel->onInsertText = [this](std::string text) { texts.push_back(text); };
        window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_default_size(GTK_WINDOW(window), 400, 600);
        gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(raw->nativeView()));
        gtk_widget_show_all(window);
        waitForPage(app);
    }
    void waitForPage(const std::string& url) {
        ASSERT_TRUE(loop.runUntil([&] { return !raw->isLoading() && raw->currentURL() == url; }, patience))
            << "still at " << raw->currentURL().value_or("nothing");
    }
    template <typename T>
    T finish(Task<T>& task) {
        EXPECT_TRUE(loop.runUntil([&] { return task.done(); }, patience));
        return task.get();
    }
    // A script's value in the page (the body of an async function when `async`); null when it has none.
    json js(const std::string& script, bool async = false) {
        std::optional<WebView::ScriptResult> result;
        auto keep = [&](WebView::ScriptResult value) { result = std::move(value); };
        async ? raw->callAsyncJavaScript(script, json::object(), keep) : raw->evaluateJavaScript(script, keep);
        EXPECT_TRUE(loop.runUntil([&] { return result.has_value(); }, patience)) << script;
        return result && *result ? **result : json();
    }
    // Posts a last message and waits for it: every message posted before it has been handled by then.
    void settleMessages() {
        js(R"(window.webkit.messageHandlers.vell.postMessage({verb: "insertText", text: "sentinel"}); "")");
        ASSERT_TRUE(loop.runUntil([&] { return !texts.empty() && texts.back() == "sentinel"; }, patience));
        texts.pop_back();
    }
    // Asks for a microphone or camera: the headless session's microphone, or WebKit's own stand-ins.
    json askForMedia(const std::string& constraints) {
        return js("try { const s = await navigator.mediaDevices.getUserMedia(" + constraints +
                      "); s.getTracks().forEach(t => t.stop()); return 'granted'; } catch (e) { return e.name; }",
                  true);
    }
    std::string requestHeader(const std::string& name) {
        auto requests = server.received();
        auto header = requests.back().headers.find(name);
        return header == requests.back().headers.end() ? "" : header->second;
    }

    platform::GlibMainLoop loop;
    test::LoopbackServer& server = sites().service;
    test::LoopbackServer& auth = sites().auth;
    test::LoopbackServer& other = sites().other;
    const std::string app = server.baseURL() + "/app";
    test::ScratchFolder dataFolder{"vell-web"};
    std::filesystem::path dataDir = dataFolder.path();
    platform::WebKitWebView* raw = nullptr;
    std::shared_ptr<PanelWebView> panel;
    std::shared_ptr<SpyDelegate> spy;
    GtkWidget* window = nullptr;
    std::vector<std::string> opened;
    std::vector<std::pair<std::string, std::optional<std::string>>> notes;
    std::vector<std::string> texts;
};

TEST_F(PanelWebViewIntegration, TheBridgeAnswersAndThePageTalksUnderTheFixedUserAgent) {
    open(tokenBridge);
    auto token = panel->bridgeToken(4);
    EXPECT_EQ(finish(token), "tok-123");
    auto email = panel->bridgeEmail();
    EXPECT_EQ(finish(email), "ada@example.com");
    panel->adopt("at", "rt", std::nullopt);
    EXPECT_TRUE(loop.runUntil([&] { return js("window.__adopted") == json{"at", "rt"}; }, patience));
    EXPECT_EQ(requestHeader("User-Agent"), PanelWebView::userAgent);
    EXPECT_EQ(js("navigator.userAgent"), json(std::string(PanelWebView::userAgent)));

    js(R"(
      const vell = window.webkit.messageHandlers.vell;
      vell.postMessage({verb: "fillNote", noteId: "n1", title: "Intake"});
      vell.postMessage({verb: "insertText", text: 7});
      vell.postMessage({verb: "insertText", text: "Grüße — ok"});
      "")");
    settleMessages();
    EXPECT_EQ(notes, (std::vector<std::pair<std::string, std::optional<std::string>>>{{"n1", "Intake"}}));
    EXPECT_EQ(texts, std::vector<std::string>{"Grüße — ok"});
    ASSERT_FALSE(spy->messages.empty());
    EXPECT_TRUE(spy->messages[0].mainFrame);
    EXPECT_EQ(spy->messages[0].frameURL, app);
}

// A frame of the authentication host loads but cannot reach the handler; a
// frame of another site neither loads nor opens the browser.
TEST_F(PanelWebViewIntegration, FramesAndPagesOfOtherSites) {
    auth.page("/frame", R"(<!doctype html><script>
      const tries = [];
      const body = {verb: "insertText", text: "from the frame"};
      try { window.webkit.messageHandlers.vell.postMessage(body); tries.push("own"); } catch (e) { tries.push("own:" + e.name); }
      try { parent.webkit.messageHandlers.vell.postMessage(body); tries.push("parent"); } catch (e) { tries.push("parent:" + e.name); }
      try { parent.document.dispatchEvent(new CustomEvent("vell-bridge:vell", {detail: JSON.stringify(body)})); tries.push("event"); }
      catch (e) { tries.push("event:" + e.name); }
      parent.postMessage(tries.join(","), "*");
    </script>)");
    other.page("/frame", R"(<!doctype html><script>parent.postMessage("other frame loaded", "*");</script>)");
    open(tokenBridge + "<iframe src=\"" + auth.baseURL() + "/frame\"></iframe><iframe src=\"" + other.baseURL() +
         "/frame\"></iframe>");
    ASSERT_TRUE(loop.runUntil(
        [&] {
            return js("window.__frames.length").get<int>() > 0 &&
                   std::ranges::count(spy->navigations, other.baseURL() + "/frame") > 0;
        },
        patience));
    loop.runFor(0.5);
    const auto tries = js("window.__frames[0]").get<std::string>();
    EXPECT_EQ(tries.find("own,"), std::string::npos) << tries;
    EXPECT_EQ(tries.find("parent,"), std::string::npos) << tries;
    EXPECT_EQ(tries.find("event"), tries.find("event:")) << tries;
    settleMessages();
    EXPECT_TRUE(texts.empty());
    for (auto& message : spy->messages) EXPECT_NE(message.body.value("text", ""), "from the frame");
    EXPECT_EQ(js("window.__frames.length"), json(1)) << "the other site's frame loaded";
    EXPECT_TRUE(opened.empty());
}

TEST_F(PanelWebViewIntegration, LinksToOtherSitesAndNewWindowsGoToTheDefaultBrowser) {
    open(tokenBridge + R"(
      <a id="own" href="vell://auth#access_token=x">own</a>
      <a id="out" href="http://docs.example.org/out">docs</a>
      <a id="blank" href="http://docs.example.org/blank" target="_blank">blank</a>)");
    js("document.getElementById('own').click(); ''");
    ASSERT_TRUE(loop.runUntil([&] { return spy->navigations.back().starts_with("vell:"); }, patience));
    js("document.getElementById('out').click(); window.open('vell://auth#access_token=a'); "
       "window.open('http://docs.example.org/popup'); document.getElementById('blank').click(); ''");
    ASSERT_TRUE(loop.runUntil([&] { return opened.size() >= 3; }, patience));
    loop.runFor(0.5);
    std::sort(opened.begin(), opened.end());
    EXPECT_EQ(opened, (std::vector<std::string>{"http://docs.example.org/blank", "http://docs.example.org/out",
                                                "http://docs.example.org/popup"}))
        << "the vell: links open nothing";
    EXPECT_EQ(raw->currentURL(), app);
    EXPECT_EQ(js("document.title"), json("app")) << "the page stayed";
}

TEST_F(PanelWebViewIntegration, TheMicrophoneIsGrantedToTheServiceWithoutAPrompt) {
    open(tokenBridge);  // the headless session's virtual microphone, through PulseAudio
    EXPECT_EQ(askForMedia("{audio: true}"), json("granted"));
    ASSERT_EQ(spy->media.size(), 1u);
    EXPECT_TRUE(spy->media[0].microphone);
    EXPECT_FALSE(spy->media[0].camera);
    EXPECT_EQ(spy->media[0].originURL, app);
}

TEST_F(PanelWebViewIntegration, TheCameraIsDenied) {
    open(tokenBridge, /*mockDevices=*/true);  // a camera to ask for
    EXPECT_EQ(askForMedia("{audio: true, video: true}"), json("NotAllowedError"));
    ASSERT_EQ(spy->media.size(), 1u);
    EXPECT_TRUE(spy->media[0].camera);
}

TEST_F(PanelWebViewIntegration, ClearEmptiesLocalStorageAndCookies) {
    open(tokenBridge);
    js("localStorage.setItem('session', 'abc'); document.cookie = 'sid=42; max-age=3600; path=/'; ''");
    ASSERT_EQ(js("localStorage.getItem('session') + '|' + document.cookie"), json("abc|sid=42"));
    panel->clear();
    loop.runUntil([&] { return raw->currentURL() != app; }, patience);
    waitForPage(app);
    EXPECT_EQ(js("String(localStorage.getItem('session')) + '|' + document.cookie"), json("null|"));
    EXPECT_EQ(requestHeader("Cookie").find("sid=42"), std::string::npos);
}

TEST_F(PanelWebViewIntegration, ALoadThatDoesNotFinishInTimeIsStopped) {
    open(tokenBridge);
    // A server that takes the connection and never answers.
    int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(silent, 4), 0);
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
    raw->load("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/app", 1.5);  // same host: allowed
    loop.runFor(1.6);
    EXPECT_TRUE(loop.runUntil([&] { return !raw->isLoading(); }, 20)) << "without the time-out it waits far longer";
    ::close(silent);
}

// A cookie and a local-storage value outlive the program. The first run, in a
// process of its own: the page stores its values, the program ends.
TEST_F(PanelWebViewIntegration, FirstRunStoresTheSession) {
    const char* base = std::getenv("VELL_TEST_FIRST_RUN_BASE");
    if (!base) GTEST_SKIP() << "runs only as the first program run of StoredSessionSurvivesARestart";
    dataDir = std::getenv("VELL_TEST_FIRST_RUN_DATA");
    auto view = std::make_unique<platform::WebKitWebView>(
        platform::WebKitWebView::Options{dataDir / "WebKit", dataDir / "cache", false});
    raw = view.get();
    panel = PanelWebView::create(loop, std::move(view), {base, ""}, {});
    waitForPage(std::string(base) + "/app");
    js("localStorage.setItem('session', 'kept'); document.cookie = 'sid=7; max-age=86400; path=/'; ''");
    ASSERT_EQ(js("localStorage.getItem('session') + '|' + document.cookie"), json("kept|sid=7"));
}

TEST_F(PanelWebViewIntegration, StoredSessionSurvivesARestart) {
    server.page("/app", "<!doctype html><title>app</title>");
    ::setenv("VELL_TEST_FIRST_RUN_BASE", server.baseURL().c_str(), 1);
    ::setenv("VELL_TEST_FIRST_RUN_DATA", dataDir.c_str(), 1);
    test::ChildProcess first({std::filesystem::read_symlink("/proc/self/exe").string(),
                              "--gtest_filter=PanelWebViewIntegration.FirstRunStoresTheSession"});
    ::unsetenv("VELL_TEST_FIRST_RUN_BASE");
    ::unsetenv("VELL_TEST_FIRST_RUN_DATA");
    ASSERT_EQ(first.wait(), 0);

    open("<!doctype html><title>app</title>");  // the second run, same data folder
    EXPECT_EQ(js("localStorage.getItem('session') + '|' + document.cookie"), json("kept|sid=7"));
    EXPECT_NE(requestHeader("Cookie").find("sid=7"), std::string::npos);
}

TEST_F(PanelWebViewIntegration, AKilledWebProcessIsReplacedWithThePageLoadedAgainAndTheBridgeAnswers) {
    open(tokenBridge);
    auto webProcesses = [] {
        std::vector<int> pids;
        for (const auto& child : test::childProcesses())
            if (child.name.starts_with("WebKitWebProces")) pids.push_back(child.pid);
        return pids;
    };
    const auto before = webProcesses();
    ASSERT_EQ(before.size(), 1u);
    const auto loads = server.received().size();
    ASSERT_EQ(::kill(before[0], SIGKILL), 0);
    ASSERT_TRUE(loop.runUntil(
        [&] {
            auto now = webProcesses();
            return now.size() == 1 && now[0] != before[0] && server.received().size() > loads;
        },
        patience));
    waitForPage(app);
    auto token = panel->bridgeToken(1);
    EXPECT_EQ(finish(token), "tok-123");
}

}  // namespace
}  // namespace vell::session

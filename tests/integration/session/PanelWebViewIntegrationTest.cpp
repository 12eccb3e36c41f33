// The panel's web view in real WebKitGTK, against pages served on loopback.
#include <glib.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "ChildProcesses.h"
#include "LoopbackServer.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/WebKitWebView.h"
#include "session/PanelWebView.h"

namespace vell::session {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using platform::WebView;

constexpr double patience = 60;  // a loaded two-core machine may be slow; never a fixed sleep

// Scratch folder of this test run (the headless session's, when there is one).
fs::path scratchFolder(const std::string& name) {
    const char* session = std::getenv("VELL_SESSION_DIR");
    fs::path root = session ? fs::path(session) : fs::temp_directory_path();
    fs::path dir = root / ("web-" + name + "-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir;
}

// Forwards every delegate call to the panel and keeps the raw script messages,
// so a test can tell a message the panel dropped from one that never came.
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

const char* tokenBridge = R"(<!doctype html><title>app</title><script>
  window.__vellBridge = {
    token: async () => { await new Promise(r => setTimeout(r, 20)); return "tok-123"; },
    email: async () => "ada@example.com",
    adopt: async () => true,
  };
</script><p>app</p>)";

class PanelWebViewIntegration : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display"; }
    static void TearDownTestSuite() {
        // WebKit's processes end shortly after their view; none may outlive the test.
        platform::GlibMainLoop loop;
        EXPECT_TRUE(loop.runUntil([] { return test::childProcesses().empty(); }, patience));
    }

    void SetUp() override { dataDir = scratchFolder(::testing::UnitTest::GetInstance()->current_test_info()->name()); }
    void TearDown() override {
        panel.reset();
        if (window) gtk_widget_destroy(window);
        loop.runFor(0.1);
    }

    // The panel over a real web view in a shown window; waits for the start page.
    void open(const std::string& appPage, const std::string& startQuery = "") {
        server.page("/app", appPage);
        auto view = std::make_unique<platform::WebKitWebView>(
            platform::WebKitWebView::Options{dataDir / "WebKit", dataDir / "cache", mockDevices});
        raw = view.get();
        std::string apiBase = server.baseURL();
        panel = PanelWebView::create(loop, std::move(view), {apiBase, auth.baseURL()},
                                     [this](std::string url) { opened.push_back(std::move(url)); });
        spy = std::make_shared<SpyDelegate>(panel);
        raw->setDelegate(spy);
        panel->onNoteFill = [this](std::string id, std::optional<std::string> title) { notes.emplace_back(id, title); };
        panel->onInsertText = [this](std::string text) { texts.push_back(text); };

        window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_default_size(GTK_WINDOW(window), 400, 600);
        gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(raw->nativeView()));
        gtk_widget_show_all(window);
        if (!startQuery.empty()) raw->load(apiBase + "/app" + startQuery, 60);
        waitForPage(apiBase + "/app" + startQuery);
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

    // A plain script's value in the page; null when it has none.
    json js(const std::string& script) {
        std::optional<WebView::ScriptResult> result;
        raw->evaluateJavaScript(script, [&](WebView::ScriptResult value) { result = std::move(value); });
        EXPECT_TRUE(loop.runUntil([&] { return result.has_value(); }, patience)) << script;
        return result && *result ? **result : json();
    }
    // An async function body's value in the page.
    WebView::ScriptResult asyncJs(const std::string& body) {
        std::optional<WebView::ScriptResult> result;
        raw->callAsyncJavaScript(body, json::object(), [&](WebView::ScriptResult value) { result = std::move(value); });
        EXPECT_TRUE(loop.runUntil([&] { return result.has_value(); }, patience)) << body;
        return result.value_or(std::nullopt);
    }
    // Posts a last message and waits for it: every message posted before it
    // has been handled by then.
    void settleMessages() {
        std::size_t before = texts.size();
        js(R"(window.webkit.messageHandlers.vell.postMessage({verb: "insertText", text: "sentinel"}); "")");
        ASSERT_TRUE(loop.runUntil([&] { return texts.size() > before && texts.back() == "sentinel"; }, patience));
        texts.pop_back();
    }

    // Media requests: the headless session's microphone, or WebKit's own stand-ins
    // (a microphone and a camera).
    WebView::ScriptResult askForMedia(const std::string& constraints) {
        return asyncJs("try { const s = await navigator.mediaDevices.getUserMedia(" + constraints +
                       "); s.getTracks().forEach(t => t.stop()); return 'granted'; } catch (e) { return e.name; }");
    }

    bool mockDevices = false;
    platform::GlibMainLoop loop;
    test::LoopbackServer server{"127.0.0.1"};
    test::LoopbackServer auth{"127.0.0.2"};  // the authentication host: may load, may not talk
    fs::path dataDir;
    platform::WebKitWebView* raw = nullptr;
    std::shared_ptr<PanelWebView> panel;
    std::shared_ptr<SpyDelegate> spy;
    GtkWidget* window = nullptr;
    std::vector<std::string> opened;
    std::vector<std::pair<std::string, std::optional<std::string>>> notes;
    std::vector<std::string> texts;
};

TEST_F(PanelWebViewIntegration, TokenAndEmailComeThroughTheBridgeWithTheFixedUserAgent) {
    open(tokenBridge);
    auto token = panel->bridgeToken(4);
    EXPECT_EQ(finish(token), "tok-123");
    auto email = panel->bridgeEmail();
    EXPECT_EQ(finish(email), "ada@example.com");

    auto requests = server.received();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0].path, "/app");
    auto agent = requests[0].headers.find("User-Agent");
    ASSERT_NE(agent, requests[0].headers.end());
    EXPECT_EQ(agent->second, std::string(PanelWebView::userAgent));
    EXPECT_EQ(js("navigator.userAgent"), json(std::string(PanelWebView::userAgent)));
}

TEST_F(PanelWebViewIntegration, NoteAndTextRequestsAreCheckedKeyByKey) {
    open(tokenBridge);
    js(R"(
      const vell = window.webkit.messageHandlers.vell;
      vell.postMessage({verb: "fillNote", noteId: "n1", title: "Intake"});
      vell.postMessage({verb: "fillNote", noteId: "n2"});
      vell.postMessage({verb: "fillNote", noteId: "n3", title: 42});
      vell.postMessage({verb: "fillNote", title: "no id"});
      vell.postMessage({verb: "insertText", text: 7});
      vell.postMessage({verb: "insertText", text: "Grüße — ok"});
      vell.postMessage("insertText");
      "")");
    settleMessages();
    EXPECT_EQ(notes, (std::vector<std::pair<std::string, std::optional<std::string>>>{
                         {"n1", "Intake"}, {"n2", std::nullopt}, {"n3", std::nullopt}}));
    EXPECT_EQ(texts, std::vector<std::string>{"Grüße — ok"});
    ASSERT_FALSE(spy->messages.empty());
    EXPECT_TRUE(spy->messages[0].mainFrame);
    EXPECT_EQ(spy->messages[0].frameURL, server.baseURL() + "/app");
}

TEST_F(PanelWebViewIntegration, ACrossOriginFrameCannotReachTheHandler) {
    // The authentication host: another origin the view may load.
    auth.page("/frame", R"(<!doctype html><script>
      const tries = [];
      const body = {verb: "insertText", text: "from the frame"};
      try { window.webkit.messageHandlers.vell.postMessage(body); tries.push("own"); } catch (e) { tries.push("own:" + e.name); }
      try { parent.webkit.messageHandlers.vell.postMessage(body); tries.push("parent"); } catch (e) { tries.push("parent:" + e.name); }
      try { parent.document.dispatchEvent(new CustomEvent("vell-bridge:vell", {detail: JSON.stringify(body)})); tries.push("event"); }
      catch (e) { tries.push("event:" + e.name); }
      parent.postMessage(tries.join(","), "*");
    </script>)");
    std::string page = std::string(tokenBridge) + R"(<script>
      window.__frame = null;
      addEventListener("message", (e) => { window.__frame = e.data; });
    </script><iframe src=")" +
                       auth.baseURL() + R"(/frame"></iframe>)";
    open(page);
    ASSERT_TRUE(loop.runUntil([&] { return js("window.__frame").is_string(); }, patience));
    auto tries = js("window.__frame").get<std::string>();
    EXPECT_EQ(tries.find("own,"), std::string::npos) << tries;
    EXPECT_EQ(tries.find("parent,"), std::string::npos) << tries;
    settleMessages();
    EXPECT_TRUE(texts.empty());
    for (auto& message : spy->messages) EXPECT_NE(message.body.value("text", ""), "from the frame");
}

// A frame of another origin (here: another port of the same host) neither
// loads nor opens the browser; nor does the top page going there stay.
TEST_F(PanelWebViewIntegration, AForeignFrameIsQuietlyNotLoadedAndAForeignPageGoesToTheBrowser) {
    test::LoopbackServer other{"127.0.0.1"};
    other.page("/frame", R"(<!doctype html><script>parent.postMessage("frame loaded", "*");</script>)");
    other.page("/page", "<!doctype html><title>other</title>");
    open(std::string(tokenBridge) + R"(<script>
      window.__frame = null;
      addEventListener("message", (e) => { window.__frame = e.data; });
    </script><iframe src=")" +
         other.baseURL() + R"(/frame"></iframe>)");
    ASSERT_TRUE(loop.runUntil(
        [&] { return std::count(spy->navigations.begin(), spy->navigations.end(), other.baseURL() + "/frame") >= 1; },
        patience));
    loop.runFor(0.5);
    EXPECT_TRUE(js("window.__frame").is_null()) << "the frame loaded";
    EXPECT_TRUE(opened.empty());

    js("location.href = '" + other.baseURL() + "/page'; ''");
    ASSERT_TRUE(loop.runUntil([&] { return !opened.empty(); }, patience));
    EXPECT_EQ(opened, std::vector<std::string>{other.baseURL() + "/page"});
    loop.runFor(0.3);
    EXPECT_EQ(raw->currentURL(), server.baseURL() + "/app");
    auto token = panel->bridgeToken(1);
    EXPECT_TRUE(finish(token).has_value()) << "the service's page still answers";
}

TEST_F(PanelWebViewIntegration, AForeignTopLevelPageIsNotListenedTo) {
    auth.page("/foreign", R"(<!doctype html><script>
      window.webkit.messageHandlers.vell.postMessage({verb: "insertText", text: "from a foreign page"});
      window.webkit.messageHandlers.vell.postMessage({verb: "fillNote", noteId: "n-foreign"});
    </script>)");
    open(tokenBridge);
    js("location.href = '" + auth.baseURL() + "/foreign'; ''");
    ASSERT_TRUE(loop.runUntil([&] { return spy->messages.size() >= 2; }, patience)) << "the page did post";
    EXPECT_EQ(spy->messages[0].frameURL, auth.baseURL() + "/foreign");
    EXPECT_TRUE(spy->messages[0].mainFrame);
    loop.runFor(0.3);
    EXPECT_TRUE(texts.empty());
    EXPECT_TRUE(notes.empty());
    EXPECT_TRUE(opened.empty()) << "the authentication host loads in the view";
    EXPECT_EQ(askForMedia("{audio: true}"), json("NotAllowedError")) << "nor may it use the microphone";
}

TEST_F(PanelWebViewIntegration, LinksToOtherSitesAndNewWindowsGoToTheDefaultBrowser) {
    const std::string elsewhere = "http://docs.example.org/elsewhere";
    open(std::string(tokenBridge) + R"(
      <a id="out" href="http://docs.example.org/elsewhere">docs</a>
      <a id="own" href="vell://auth#access_token=x">own</a>
      <a id="blank" href="http://docs.example.org/blank" target="_blank">blank</a>)");
    const std::string app = server.baseURL() + "/app";

    js("document.getElementById('own').click(); ''");
    ASSERT_TRUE(loop.runUntil([&] { return spy->navigations.back().starts_with("vell:"); }, patience));
    js("document.getElementById('out').click(); ''");
    ASSERT_TRUE(loop.runUntil([&] { return !opened.empty(); }, patience)) << ::testing::PrintToString(spy->navigations);
    EXPECT_EQ(opened, std::vector<std::string>{elsewhere}) << "the vell: link opens nothing";
    EXPECT_EQ(raw->currentURL(), app);

    js("window.open('vell://auth#access_token=a&refresh_token=r'); ''");
    js("window.open('http://docs.example.org/popup'); ''");
    ASSERT_TRUE(loop.runUntil([&] { return opened.size() >= 2; }, patience));
    js("document.getElementById('blank').click(); ''");
    ASSERT_TRUE(loop.runUntil([&] { return opened.size() >= 3; }, patience));
    loop.runFor(0.5);
    EXPECT_EQ(opened,
              (std::vector<std::string>{elsewhere, "http://docs.example.org/popup", "http://docs.example.org/blank"}));
    EXPECT_EQ(raw->currentURL(), app);
    EXPECT_EQ(js("document.title"), json("app")) << "the page stayed";
}

TEST_F(PanelWebViewIntegration, TheMicrophoneIsGrantedToTheServiceWithoutAPrompt) {
    open(tokenBridge);  // the headless session's virtual microphone, through PulseAudio
    EXPECT_EQ(askForMedia("{audio: true}"), json("granted"));
    ASSERT_EQ(spy->media.size(), 1u);
    EXPECT_TRUE(spy->media[0].microphone);
    EXPECT_FALSE(spy->media[0].camera);
    EXPECT_EQ(spy->media[0].originURL, server.baseURL() + "/app");
}

TEST_F(PanelWebViewIntegration, TheCameraIsDenied) {
    mockDevices = true;  // a camera to ask for
    open(tokenBridge);
    EXPECT_EQ(askForMedia("{video: true}"), json("NotAllowedError"));
    EXPECT_EQ(askForMedia("{audio: true, video: true}"), json("NotAllowedError"));
    EXPECT_EQ(askForMedia("{audio: true}"), json("granted"));
    ASSERT_EQ(spy->media.size(), 3u) << "each request was put to the panel";
    EXPECT_TRUE(spy->media[0].camera);
}

TEST_F(PanelWebViewIntegration, ClearEmptiesLocalStorageAndCookies) {
    open(tokenBridge);
    js("localStorage.setItem('session', 'abc'); document.cookie = 'sid=42; max-age=3600; path=/'; ''");
    ASSERT_EQ(js("localStorage.getItem('session') + '|' + document.cookie"), json("abc|sid=42"));

    panel->clear();
    loop.runUntil([&] { return raw->currentURL() != server.baseURL() + "/app"; }, patience);
    waitForPage(server.baseURL() + "/app");
    EXPECT_EQ(js("String(localStorage.getItem('session')) + '|' + document.cookie"), json("null|"));
    auto requests = server.received();
    auto cookie = requests.back().headers.find("Cookie");
    EXPECT_TRUE(cookie == requests.back().headers.end() || cookie->second.find("sid=42") == std::string::npos);
}

TEST_F(PanelWebViewIntegration, ALoadThatDoesNotFinishInTimeIsStopped) {
    open(tokenBridge);
    // A server that takes the connection and never answers.
    int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silent, 4), 0);
    socklen_t length = sizeof address;
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);

    const double started = loop.now();
    raw->load("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/app", 1.5);  // same host: allowed
    loop.runFor(1.6);
    EXPECT_TRUE(loop.runUntil([&] { return !raw->isLoading(); }, patience));
    // Without the time-out the view would wait for the silent server far longer.
    EXPECT_LT(loop.now() - started, 30.0);
    EXPECT_EQ(server.received().size(), 1u) << "only the start page came from the real server";
    ::close(silent);
}

// ---- a cookie and a local-storage value outlive the program -----------------------------

// The first run, in a process of its own: the page stores its values, the program ends.
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
    std::string self = fs::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=PanelWebViewIntegration.FirstRunStoresTheSession";
    char* argv[] = {self.data(), filter.data(), nullptr};
    gchar** env = g_get_environ();
    env = g_environ_setenv(env, "VELL_TEST_FIRST_RUN_BASE", server.baseURL().c_str(), TRUE);
    env = g_environ_setenv(env, "VELL_TEST_FIRST_RUN_DATA", dataDir.c_str(), TRUE);
    gchar* output = nullptr;
    gint status = 0;
    GError* error = nullptr;
    bool ran = g_spawn_sync(nullptr, argv, env, G_SPAWN_DEFAULT, nullptr, nullptr, &output, nullptr, &status, &error);
    g_strfreev(env);
    ASSERT_TRUE(ran) << (error ? error->message : "");
    std::string log = output ? output : "";
    g_free(output);
    ASSERT_TRUE(g_spawn_check_wait_status(status, nullptr)) << log;
    ASSERT_NE(log.find("[  PASSED  ] 1 test"), std::string::npos) << log;

    open("<!doctype html><title>app</title>");  // the second run, same data folder
    EXPECT_EQ(js("localStorage.getItem('session') + '|' + document.cookie"), json("kept|sid=7"));
    auto requests = server.received();
    auto cookie = requests.back().headers.find("Cookie");
    ASSERT_NE(cookie, requests.back().headers.end());
    EXPECT_NE(cookie->second.find("sid=7"), std::string::npos);
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
    waitForPage(server.baseURL() + "/app");
    auto token = panel->bridgeToken(1);
    EXPECT_EQ(finish(token), "tok-123");
}

}  // namespace
}  // namespace vell::session

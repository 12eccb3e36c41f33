#include "session/PanelWebView.h"

#include <gtest/gtest.h>

#include "FakeWebView.h"
#include "VirtualLoop.h"

namespace vell::session {
namespace {

using nlohmann::json;
using platform::WebView;
using Record = test::FakeWebView::Record;

constexpr const char* base = "http://127.0.0.1:8123";

class PanelWebViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        panel = PanelWebView::create(loop, std::make_unique<test::FakeWebView>(loop, record),
                                     {base, "https://vell.supabase.co"},
                                     [this](std::string url) { opened.push_back(std::move(url)); });
    }
    void TearDown() override { loop.runUntilIdle(); }

    // Answers the oldest unanswered script.
    void answer(WebView::ScriptResult result) {
        ASSERT_LT(answered, record->scripts.size());
        record->scripts[answered++].done(std::move(result));
        loop.runUntilIdle();
    }
    std::vector<double> callTimes() const {
        std::vector<double> times;
        for (auto& call : record->scripts) times.push_back(call.at);
        return times;
    }
    void post(const std::optional<std::string>& url, json body, bool mainFrame = true, std::string name = "vell") {
        panel->didReceiveScriptMessage({std::move(name), mainFrame, url, std::move(body)});
    }

    test::VirtualLoop loop;
    std::shared_ptr<Record> record = std::make_shared<Record>();
    std::shared_ptr<PanelWebView> panel;
    std::vector<std::string> opened;
    std::size_t answered = 0;
};

TEST_F(PanelWebViewTest, CreationSetsTheUserAgentAndHandlerAndLoadsTheStartPage) {
    EXPECT_EQ(
        record->userAgents,
        std::vector<std::string>{
            "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) VellMac/0.3"});
    EXPECT_EQ(record->handlers, std::vector<std::string>{"vell"});
    ASSERT_EQ(record->loads.size(), 1u);
    EXPECT_EQ(record->loads[0].url, "http://127.0.0.1:8123/app");
    EXPECT_EQ(record->loads[0].timeout, 60.0);
    EXPECT_EQ(record->delegate.lock().get(), static_cast<WebView::Delegate*>(panel.get()));
}

TEST_F(PanelWebViewTest, TokenIsAskedUpToFourTimesWithPausesOf0_7Seconds) {
    auto token = panel->bridgeToken(4);
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(record->scripts.size(), static_cast<std::size_t>(i + 1));
        answer(json(nullptr));
        loop.advance(0.7);
    }
    ASSERT_TRUE(token.done());
    EXPECT_EQ(token.get(), std::nullopt);
    EXPECT_EQ(callTimes(), (std::vector<double>{0, 0.7, 1.4, 2.1}));
    for (auto& call : record->scripts) {
        EXPECT_EQ(call.body, "return (window.__vellBridge ? await window.__vellBridge.token() : null)");
        EXPECT_EQ(call.arguments, json::object());
        EXPECT_FALSE(call.plain);
    }
    EXPECT_EQ(loop.pending(), 0u) << "no pause after the last attempt";
}

TEST_F(PanelWebViewTest, OnlyANonEmptyStringIsAToken) {
    auto token = panel->bridgeToken(4);
    answer(json(""));
    loop.advance(0.7);
    answer(json(42));
    loop.advance(0.7);
    answer(std::nullopt);  // the script failed
    loop.advance(0.69);
    EXPECT_EQ(record->scripts.size(), 3u);
    loop.advance(0.01);
    answer(json("tok-4"));
    ASSERT_TRUE(token.done());
    EXPECT_EQ(token.get(), "tok-4");
}

TEST_F(PanelWebViewTest, ATokenEndsTheQuestionsAtOnce) {
    auto token = panel->bridgeToken(4);
    answer(json(nullptr));
    loop.advance(0.7);
    answer(json("tok-2"));
    ASSERT_TRUE(token.done());
    EXPECT_EQ(token.get(), "tok-2");
    loop.advance(10);
    EXPECT_EQ(record->scripts.size(), 2u);
}

TEST_F(PanelWebViewTest, ZeroAttemptsAskNothing) {
    auto token = panel->bridgeToken(0);
    ASSERT_TRUE(token.done());
    EXPECT_EQ(token.get(), std::nullopt);
    EXPECT_TRUE(record->scripts.empty());
}

TEST_F(PanelWebViewTest, EmailIsAskedOnce) {
    record->respond = [](auto&) { return json(nullptr); };
    auto none = panel->bridgeEmail();
    loop.runUntilIdle();
    ASSERT_TRUE(none.done());
    EXPECT_EQ(none.get(), std::nullopt);
    EXPECT_EQ(record->scripts.size(), 1u);
    EXPECT_EQ(record->scripts[0].body, "return (window.__vellBridge ? await window.__vellBridge.email() : null)");

    record->respond = [](auto&) { return json("ada@example.com"); };
    auto email = panel->bridgeEmail();
    loop.runUntilIdle();
    EXPECT_EQ(email.get(), "ada@example.com");
}

TEST_F(PanelWebViewTest, AdoptTriesEightTimesWithPausesOf0_9Seconds) {
    int round = 0;
    record->respond = [&](auto&) -> WebView::ScriptResult {
        switch (round++ % 4) {
            case 0:
                return json(false);
            case 1:
                return json("true");
            case 2:
                return std::nullopt;
            default:
                return json(1);
        }
    };
    panel->adopt("access", "refresh", 1700000000.0);
    loop.advance(30);
    EXPECT_EQ(callTimes(), (std::vector<double>{0, 0.9, 1.8, 2.7, 3.6, 4.5, 5.4, 6.3}));
    for (auto& call : record->scripts) {
        EXPECT_EQ(call.body,
                  "return (window.__vellBridge && window.__vellBridge.adopt) ? await window.__vellBridge.adopt(a, r) "
                  ": false");
        EXPECT_EQ(call.arguments, (json{{"a", "access"}, {"r", "refresh"}})) << "the expiry is not passed on";
    }
}

TEST_F(PanelWebViewTest, AdoptStopsWhenThePageAcceptsOnTheThirdAttempt) {
    record->respond = [&](auto&) { return json(record->scripts.size() == 2); };
    panel->adopt("a", "r", std::nullopt);
    loop.advance(30);
    EXPECT_EQ(callTimes(), (std::vector<double>{0, 0.9, 1.8}));
}

TEST_F(PanelWebViewTest, RetryLoopsStopOnceThePanelIsGone) {
    record->respond = [](auto&) { return json(nullptr); };
    panel->adopt("a", "r", std::nullopt);
    auto token = panel->bridgeToken(4);
    loop.runUntilIdle();
    EXPECT_EQ(record->scripts.size(), 2u);
    std::weak_ptr<PanelWebView> weak = panel;
    panel.reset();
    EXPECT_TRUE(weak.expired()) << "a pause does not keep the panel alive";
    loop.advance(30);
    EXPECT_EQ(record->scripts.size(), 2u);
    ASSERT_TRUE(token.done());
    EXPECT_EQ(token.get(), std::nullopt);
}

TEST_F(PanelWebViewTest, AnOpenScriptDoesNotKeepThePanelAlive) {
    auto token = panel->bridgeToken(4);
    panel->adopt("a", "r", std::nullopt);
    ASSERT_EQ(record->scripts.size(), 2u);
    std::weak_ptr<PanelWebView> weak = panel;
    panel.reset();
    EXPECT_TRUE(weak.expired());
    loop.advance(30);
    ASSERT_TRUE(token.done());
    EXPECT_EQ(token.get(), std::nullopt);
    EXPECT_EQ(record->scripts.size(), 2u);
}

TEST_F(PanelWebViewTest, EvalForDebugYieldsOnlyStrings) {
    const std::pair<WebView::ScriptResult, std::optional<std::string>> cases[] = {
        {json("https://x/app"), "https://x/app"},
        {json(""), ""},
        {json(3), std::nullopt},
        {json(nullptr), std::nullopt},
        {std::nullopt, std::nullopt}};
    for (auto& [result, expected] : cases) {
        record->respond = [result](auto&) { return result; };
        auto value = panel->evalForDebug("location.href");
        loop.runUntilIdle();
        ASSERT_TRUE(value.done());
        EXPECT_EQ(value.get(), expected);
    }
    EXPECT_TRUE(record->scripts.back().plain);
    EXPECT_EQ(record->scripts.back().body, "location.href");
}

TEST_F(PanelWebViewTest, ClearLeavesThePageErasesEverythingAndThenReloads) {
    panel->clear();
    ASSERT_EQ(record->loads.size(), 2u);
    EXPECT_EQ(record->loads[1].url, "about:blank");
    ASSERT_EQ(record->clears.size(), 1u);
    record->clears[0]();
    ASSERT_EQ(record->loads.size(), 3u);
    EXPECT_EQ(record->loads[2].url, "http://127.0.0.1:8123/app");
    EXPECT_EQ(record->loads[2].timeout, 60.0);
}

TEST_F(PanelWebViewTest, NoteFillMessagesAreCheckedKeyByKey) {
    std::vector<std::pair<std::string, std::optional<std::string>>> fills;
    const std::string page = std::string(base) + "/app#/notes";
    post(page, {{"verb", "fillNote"}, {"noteId", "n1"}});
    EXPECT_TRUE(fills.empty()) << "nothing happens before the callback is set";

    panel->onNoteFill = [&](std::string id, std::optional<std::string> title) { fills.emplace_back(id, title); };
    post(page, {{"verb", "fillNote"}, {"noteId", "n1"}, {"title", "Intake form"}, {"extra", true}});
    post(page, {{"verb", "fillNote"}, {"noteId", "n2"}});
    post(page, {{"verb", "fillNote"}, {"noteId", "n3"}, {"title", 7}});
    post(page, {{"verb", "fillNote"}, {"title", "no id"}});
    post(page, {{"verb", "fillNote"}, {"noteId", 4}});
    post(page, {{"verb", "FILLNOTE"}, {"noteId", "n5"}});
    post(page, {{"noteId", "n6"}});
    post(page, {{"verb", 1}, {"noteId", "n7"}});
    post(page, json::array({"fillNote", "n8"}));
    post(page, json("fillNote"));
    EXPECT_EQ(fills, (std::vector<std::pair<std::string, std::optional<std::string>>>{
                         {"n1", "Intake form"}, {"n2", std::nullopt}, {"n3", std::nullopt}}));
}

TEST_F(PanelWebViewTest, InsertTextMessagesNeedAStringText) {
    std::vector<std::string> texts;
    const std::string page = std::string(base) + "/app";
    post(page, {{"verb", "insertText"}, {"text", "early"}});
    panel->onInsertText = [&](std::string text) { texts.push_back(text); };
    post(page, {{"verb", "insertText"}, {"text", "Hello — world"}});
    post(page, {{"verb", "insertText"}, {"text", ""}});
    post(page, {{"verb", "insertText"}, {"text", 12}});
    post(page, {{"verb", "insertText"}});
    EXPECT_EQ(texts, (std::vector<std::string>{"Hello — world", ""}));
}

TEST_F(PanelWebViewTest, MessagesFromOtherFramesHostsOrHandlersAreDropped) {
    int calls = 0;
    panel->onInsertText = [&](std::string) { ++calls; };
    json body = {{"verb", "insertText"}, {"text", "x"}};
    post(std::string(base) + "/app", body, /*mainFrame=*/false);
    post("https://evil.example/app", body);
    post("https://vell.supabase.co/auth", body);  // allowed to load, not to talk
    post(std::nullopt, body);
    post("about:blank", body);
    post(std::string(base) + "/app", body, true, "other");
    post("http://127.0.0.1:9999/app", body);   // another port of the same host
    post("https://127.0.0.1:8123/app", body);  // another scheme
    EXPECT_EQ(calls, 0);
    post(std::string(base) + "/app#/notes", body);
    EXPECT_EQ(calls, 1);
}

TEST_F(PanelWebViewTest, NavigationStaysOnTheServiceAndTheAuthenticationOrigins) {
    using Policy = WebView::Policy;
    struct Row {
        std::optional<std::string> url;
        std::optional<bool> mainFrame;  // absent: not known yet
        Policy policy;
        bool opened;
    };
    const std::optional<bool> unknown, top = true, frame = false;
    for (const Row& row : std::initializer_list<Row>{
             {std::nullopt, top, Policy::allow, false},
             {"vell://auth#access_token=a", top, Policy::cancel, false},
             {"about:blank", frame, Policy::allow, false},
             {"http://127.0.0.1:8123/app#/x", top, Policy::allow, false},
             {"https://VELL.supabase.co/auth/v1/authorize", top, Policy::allow, false},
             {"https://docs.example.org/help", unknown, Policy::allow, false},  // decided once the frame is known
             {"https://docs.example.org/help", frame, Policy::cancel, false},   // a foreign frame: quietly not loaded
             {"https://docs.example.org/help", top, Policy::cancel, true},      // the browser shows it
             {"http://127.0.0.1:9999/app", top, Policy::cancel, true},          // another port is another site
             {"https://127.0.0.1:8123/app", top, Policy::cancel, true},         // so is another scheme
         }) {
        opened.clear();
        EXPECT_EQ(panel->decideNavigation({row.url, row.mainFrame}), row.policy) << row.url.value_or("-");
        EXPECT_EQ(!opened.empty(), row.opened) << row.url.value_or("-");
    }
}

// The token, the address and a session go only to the service's own page.
TEST_F(PanelWebViewTest, TheBridgeTalksOnlyToThePageOfTheServicesOrigin) {
    record->respond = [](const test::FakeWebView::ScriptCall&) { return json("token-or-email"); };
    for (const char* page : {"http://127.0.0.1:9999/app", "https://127.0.0.1:8123/app", "about:blank"}) {
        record->url = page;
        auto token = panel->bridgeToken(1);
        auto email = panel->bridgeEmail();
        panel->adopt("a", "r", std::nullopt);
        loop.runUntilIdle();
        EXPECT_EQ(token.get(), std::nullopt) << page;
        EXPECT_EQ(email.get(), std::nullopt) << page;
    }
    loop.advance(10.0);
    EXPECT_TRUE(record->scripts.empty());
    record->url = std::string(base) + "/app#/notes";
    auto token = panel->bridgeToken(1);
    loop.runUntilIdle();
    EXPECT_EQ(token.get(), "token-or-email");
}

TEST_F(PanelWebViewTest, AnHttpsServiceRefusesPlainHttp) {
    auto secure = PanelWebView::create(loop, std::make_unique<test::FakeWebView>(loop, std::make_shared<Record>()),
                                       {"https://vell.example", "https://vell.supabase.co"},
                                       [this](std::string url) { opened.push_back(std::move(url)); });
    int calls = 0;
    secure->onInsertText = [&](std::string) { ++calls; };
    secure->didReceiveScriptMessage({"vell", true, "http://vell.example/app", {{"verb", "insertText"}, {"text", "x"}}});
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(secure->decideMediaCapture({"http://vell.example/app", true, false}));
    EXPECT_EQ(secure->decideNavigation({"http://vell.example/app", true}), WebView::Policy::cancel);
    EXPECT_TRUE(secure->decideMediaCapture({"https://vell.example/app", true, false}));
}

TEST_F(PanelWebViewTest, NewWindowsGoToTheDefaultBrowser) {
    panel->requestNewWindow("http://127.0.0.1:8123/app#/print");
    panel->requestNewWindow(std::nullopt);
    panel->requestNewWindow("");
    panel->requestNewWindow("vell://auth#access_token=a&refresh_token=r");
    EXPECT_EQ(opened, std::vector<std::string>{"http://127.0.0.1:8123/app#/print"});
}

TEST_F(PanelWebViewTest, OnlyTheMicrophoneAloneFromTheServiceIsGranted) {
    const std::string page = std::string(base) + "/app";
    EXPECT_TRUE(panel->decideMediaCapture({page, true, false}));
    EXPECT_FALSE(panel->decideMediaCapture({page, false, true}));
    EXPECT_FALSE(panel->decideMediaCapture({page, true, true}));
    EXPECT_FALSE(panel->decideMediaCapture({page, false, false}));
    EXPECT_FALSE(panel->decideMediaCapture({"https://evil.example/", true, false}));
    EXPECT_FALSE(panel->decideMediaCapture({std::nullopt, true, false}));

    auto broken = PanelWebView::create(loop, std::make_unique<test::FakeWebView>(loop, std::make_shared<Record>()),
                                       {"not an address", ""}, {});
    EXPECT_FALSE(broken->decideMediaCapture({"about:blank", true, false}));
    EXPECT_EQ(broken->decideNavigation({"https://docs.example.org/", true}), WebView::Policy::cancel)
        << "no opener: dropped";
}

TEST_F(PanelWebViewTest, TheSharedInstanceCanBeReplaced) {
    PanelWebView::setShared(panel);
    EXPECT_EQ(PanelWebView::shared(), panel);
    PanelWebView::setShared(nullptr);
    EXPECT_EQ(PanelWebView::shared(), nullptr);
}

}  // namespace
}  // namespace vell::session

#include "session/PanelWebView.h"

#include <gtest/gtest.h>

#include <cmath>

#include "FakeWebView.h"
#include "ScratchFolder.h"
#include "VirtualLoop.h"
#include "session/SessionStore.h"

namespace vell::session {
namespace {

using nlohmann::json;
using platform::WebView;
using Record = test::FakeWebView::Record;

constexpr const char* base = "http://127.0.0.1:8123";

class PanelWebViewTest : public ::testing::Test {
protected:
    void SetUp() override { panel = make(base); }
    void TearDown() override { loop.runUntilIdle(); }

    std::shared_ptr<PanelWebView> make(std::string apiBase) {
        return PanelWebView::create(loop, std::make_unique<test::FakeWebView>(loop, record),
                                    {std::move(apiBase), "https://vell.supabase.co"},
                                    [this](std::string url) { opened.push_back(std::move(url)); });
    }
    // The page answers the scripts in turn with these results, the last one from then on.
    void answerInTurn(std::vector<WebView::ScriptResult> results) {
        record->respond = [this, results](auto&) {
            return results[std::min(record->scripts.size(), results.size() - 1)];
        };
    }
    // When the scripts came, in milliseconds-exact seconds after `start`.
    std::vector<double> callTimes(double start) const {
        std::vector<double> times;
        for (auto& call : record->scripts) times.push_back(std::round((call.at - start) * 1000) / 1000);
        return times;
    }

    test::VirtualLoop loop;
    std::shared_ptr<Record> record = std::make_shared<Record>();
    std::shared_ptr<PanelWebView> panel;
    std::vector<std::string> opened;
};

// Up to four questions 0.7 s apart; only a non-empty string is a token, and it ends the questions.
TEST_F(PanelWebViewTest, TokenQuestionsTable) {
    struct Row {
        std::vector<WebView::ScriptResult> answers;
        std::optional<std::string> token;
        std::vector<double> times;
    };
    const Row rows[] = {
        {{json(nullptr)}, std::nullopt, {0, 0.7, 1.4, 2.1}},
        {{json(""), json(42), std::nullopt, json("tok-4")}, "tok-4", {0, 0.7, 1.4, 2.1}},
        {{json(nullptr), json("tok-2")}, "tok-2", {0, 0.7}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.times.size());
        record->scripts.clear();
        answerInTurn(row.answers);
        const double start = loop.now();
        auto token = panel->bridgeToken(4);
        loop.advance(10);
        ASSERT_TRUE(token.done());
        EXPECT_EQ(token.get(), row.token);
        EXPECT_EQ(callTimes(start), row.times);
    }
}

// Up to eight hand-overs 0.9 s apart, until the page says true.
TEST_F(PanelWebViewTest, AdoptIsRetriedUntilThePageAccepts) {
    struct Row {
        std::vector<WebView::ScriptResult> answers;
        std::vector<double> times;
    };
    const Row rows[] = {
        {{json(false), json("true"), std::nullopt, json(1)}, {0, 0.9, 1.8, 2.7, 3.6, 4.5, 5.4, 6.3}},
        {{json(false), json(false), json(true)}, {0, 0.9, 1.8}},
    };
    for (const Row& row : rows) {
        record->scripts.clear();
        answerInTurn(row.answers);
        const double start = loop.now();
        panel->adopt("access", "refresh", 1700000000.0);
        loop.advance(30);
        EXPECT_EQ(callTimes(start), row.times);
        EXPECT_EQ(record->scripts[0].arguments, (json{{"a", "access"}, {"r", "refresh"}})) << "no expiry passed on";
    }
}

// Neither a pause between attempts nor a script still open keeps the panel alive.
TEST_F(PanelWebViewTest, RetryLoopsStopOnceThePanelIsGone) {
    for (bool scriptsOpen : {false, true}) {
        SCOPED_TRACE(scriptsOpen);
        record->scripts.clear();
        record->respond = nullptr;
        if (!scriptsOpen) answerInTurn({json(nullptr)});
        panel->adopt("a", "r", std::nullopt);
        auto token = panel->bridgeToken(4);
        loop.runUntilIdle();
        EXPECT_EQ(record->scripts.size(), 2u);
        std::weak_ptr<PanelWebView> weak = panel;
        panel.reset();
        EXPECT_TRUE(weak.expired());
        loop.advance(30);
        EXPECT_EQ(record->scripts.size(), 2u);
        ASSERT_TRUE(token.done());
        EXPECT_EQ(token.get(), std::nullopt);
        panel = make(base);
    }
}

TEST_F(PanelWebViewTest, ClearLeavesThePageErasesEverythingAndThenReloads) {
    panel->clear();
    ASSERT_EQ(record->loads.size(), 2u);
    EXPECT_EQ(record->loads[1].url, "about:blank");
    ASSERT_EQ(record->clears.size(), 1u);
    record->clears[0]();
    ASSERT_EQ(record->loads.size(), 3u);
    EXPECT_EQ(record->loads[2].url, "http://127.0.0.1:8123/app");
}

// Requests are taken from the service's own top page through the "vell"
// handler only, and checked key by key.
TEST_F(PanelWebViewTest, PageRequestsTable) {
    const std::string app = std::string(base) + "/app#/notes";
    panel->didReceiveScriptMessage({"vell", true, app, {{"verb", "insertText"}, {"text", "before the callbacks"}}});
    std::vector<std::string> got;
    panel->onNoteFill = [&](std::string id, std::optional<std::string> title) {
        got.push_back("note " + id + " " + title.value_or("-"));
    };
    panel->onInsertText = [&](std::string text) { got.push_back("text " + text); };
    struct Row {
        std::optional<std::string> url;
        json body;
        const char* taken;  // nullptr: dropped
        bool mainFrame = true;
        const char* handler = "vell";
    };
    const json text = {{"verb", "insertText"}, {"text", "x"}};
    const Row rows[] = {
        {app,
         {{"verb", "fillNote"}, {"noteId", "n1"}, {"title", "Intake form"}, {"extra", true}},
         "note n1 Intake form"},
        {app, {{"verb", "fillNote"}, {"noteId", "n2"}}, "note n2 -"},
        {app, {{"verb", "fillNote"}, {"noteId", "n3"}, {"title", 7}}, "note n3 -"},
        {app, {{"verb", "fillNote"}, {"title", "no id"}}, nullptr},
        {app, {{"verb", "fillNote"}, {"noteId", 4}}, nullptr},
        {app, {{"verb", "FILLNOTE"}, {"noteId", "n5"}}, nullptr},
        {app, {{"verb", 1}, {"noteId", "n7"}}, nullptr},
        {app, json::array({"fillNote", "n8"}), nullptr},
        {app, {{"verb", "insertText"}, {"text", "Hello — world"}}, "text Hello — world"},
        {app, {{"verb", "insertText"}, {"text", ""}}, "text "},
        {app, {{"verb", "insertText"}, {"text", 12}}, nullptr},
        {app, {{"verb", "insertText"}}, nullptr},
        {app, text, nullptr, false},
        {app, text, nullptr, true, "other"},
        {"https://evil.example/app", text, nullptr},
        {"https://vell.supabase.co/auth", text, nullptr},  // allowed to load, not to talk
        {std::nullopt, text, nullptr},
        {"about:blank", text, nullptr},
        {"http://127.0.0.1:9999/app", text, nullptr},   // another port of the same host
        {"https://127.0.0.1:8123/app", text, nullptr},  // another scheme
    };
    for (const Row& row : rows) {
        got.clear();
        panel->didReceiveScriptMessage({row.handler, row.mainFrame, row.url, row.body});
        EXPECT_EQ(got, row.taken ? std::vector<std::string>{row.taken} : std::vector<std::string>{})
            << row.url.value_or("-") << " " << row.body.dump();
    }
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
             {"VELL://auth#access_token=a", top, Policy::cancel, false},
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
    answerInTurn({json("token-or-email")});
    for (const char* page : {"http://127.0.0.1:9999/app", "https://127.0.0.1:8123/app", "about:blank"}) {
        record->url = page;
        auto token = panel->bridgeToken(1);
        auto email = panel->bridgeEmail();
        panel->adopt("a", "r", std::nullopt);
        loop.advance(10.0);
        EXPECT_EQ(token.get(), std::nullopt) << page;
        EXPECT_EQ(email.get(), std::nullopt) << page;
    }
    EXPECT_TRUE(record->scripts.empty());
    record->url = std::string(base) + "/app#/notes";
    auto token = panel->bridgeToken(1);
    auto email = panel->bridgeEmail();
    loop.runUntilIdle();
    EXPECT_EQ(token.get(), "token-or-email");
    EXPECT_EQ(email.get(), "token-or-email");
}

// A sign-in made inside the panel counts once the service's own top page
// names its address; a look-alike host's page is not even asked.
TEST_F(PanelWebViewTest, ASignInAtTheServicesPageIsRecordedByTheStore) {
    test::ScratchFolder dir{"vell-store-view"};
    SessionStore store(dir.path(), [this] { return panel; });
    struct Row {
        const char* url;
        json address;
        bool asked, signedIn;
    };
    for (const Row& row : std::initializer_list<Row>{
             {"http://127.0.0.1:8123/app#/notes", "ada@example.com", true, true},
             {"http://127.0.0.1:8123", "ada@example.com", true, true},
             {"http://127.0.0.1:8123/app", nullptr, true, false},
             {"http://127.0.0.1:81234/app", "ada@example.com", false, false},
             {"http://127.0.0.1:8123.evil.example/app", "ada@example.com", false, false},
             {"https://vell.supabase.co/auth", "ada@example.com", false, false},
         }) {
        store.clear();
        record->scripts.clear();
        record->url = row.url;
        answerInTurn({row.address});
        auto noticed = store.noticeSignInAtPage();
        loop.runUntilIdle();
        EXPECT_EQ(noticed.get(), row.signedIn) << row.url;
        EXPECT_EQ(store.email(), row.signedIn ? std::optional<std::string>("ada@example.com") : std::nullopt);
        EXPECT_EQ(record->scripts.size(), row.asked ? 1u : 0u) << row.url;
    }
    auto again = store.noticeSignInAtPage();
    loop.runUntilIdle();
    EXPECT_FALSE(again.get()) << "nothing to notice once signed in";
}

TEST_F(PanelWebViewTest, OnlyTheMicrophoneAloneFromTheServiceIsGranted) {
    struct Row {
        std::optional<std::string> origin;
        bool microphone, camera, granted;
    };
    for (const Row& row : std::initializer_list<Row>{
             {"http://127.0.0.1:8123/app", true, false, true},
             {"http://127.0.0.1:8123/app", false, true, false},
             {"http://127.0.0.1:8123/app", true, true, false},
             {"https://127.0.0.1:8123/app", true, false, false},
             {"https://evil.example/", true, false, false},
             {std::nullopt, true, false, false},
         })
        EXPECT_EQ(panel->decideMediaCapture({row.origin, row.microphone, row.camera}), row.granted)
            << row.origin.value_or("-") << " " << row.microphone << row.camera;
}

}  // namespace
}  // namespace vell::session

// The web application in the program's own WebKitGTK view against a service
// in this process: the page served, sign-in, the script bridge and its token
// renewal, adoption of a handed-over session, and the desktop sign-in page's link. (The panel's
// use of the page is followed end to end in the application's test.)
#include "RunningService.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/WebKitWebView.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

using nlohmann::json;
using vell::platform::WebView;
using vell::test::RunningService;

namespace {

constexpr double kPatience = 60;
const char* const kToken = "return await window.__vellBridge.token()";
const char* const kEmail = "return await window.__vellBridge.email()";

// The page in a web view of its own (own data folder, shown offscreen);
// vell: links it opens are caught and kept.
class Browser {
public:
    explicit Browser(const std::string& url) {
        view_.setDelegate(links_);
        gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_.nativeView()));
        gtk_widget_show_all(window_);
        view_.load(url, kPatience);
        if (!waitUntil([&] { return run("return !!window.__vellBridge") == true; }))
            throw std::runtime_error("no bridge on " + url);
    }
    ~Browser() { gtk_widget_destroy(window_); }

    // The awaited value of an async function body in the page; null when it has none.
    json run(const std::string& body, const json& arguments = json::object()) {
        std::optional<WebView::ScriptResult> result;
        view_.callAsyncJavaScript(body, arguments, [&](WebView::ScriptResult value) { result = std::move(value); });
        if (!waitUntil([&] { return result.has_value(); })) throw std::runtime_error("script did not finish: " + body);
        return result->value_or(json());
    }
    bool waitUntil(const std::function<bool()>& done) { return loop_.runUntil(done, kPatience); }
    bool visible(const std::string& id) {
        return run("return !document.getElementById(id).hidden", {{"id", id}}) == true;
    }

    void signIn(const vell::service::Service::Credentials& account) {
        ASSERT_TRUE(waitUntil([&] { return visible("auth"); })) << "no sign-in form";
        run("document.getElementById('email').value = e; document.getElementById('password').value = p;"
            "document.getElementById('auth-form').requestSubmit();",
            {{"e", account.email}, {"p", account.password}});
        ASSERT_TRUE(waitUntil([&] { return !visible("auth"); })) << "sign-in did not finish";
    }
    const std::vector<std::string>& links() const { return links_->caught; }

private:
    struct Links final : WebView::Delegate {
        void didReceiveScriptMessage(const WebView::ScriptMessage&) override {}
        WebView::Policy decideNavigation(const WebView::Navigation& navigation) override {
            if (navigation.url.value_or("").rfind("vell:", 0) != 0) return WebView::Policy::allow;
            caught.push_back(*navigation.url);
            return WebView::Policy::cancel;
        }
        void requestNewWindow(const std::optional<std::string>&) override {}
        bool decideMediaCapture(const WebView::MediaRequest&) override { return false; }
        std::vector<std::string> caught;
    };
    const bool display_ = gtk_init_check(nullptr, nullptr) || (throw std::runtime_error("no display"), false);
    vell::platform::GlibMainLoop loop_;
    vell::test::ScratchFolder data_{"vell-webapp"};
    vell::platform::WebKitWebView view_{{data_ / "WebKit", data_ / "cache", false}};
    std::shared_ptr<Links> links_ = std::make_shared<Links>();
    GtkWidget* window_ = gtk_offscreen_window_new();
};

int meStatus(const RunningService& running, const json& token) {
    return running.client().Get("/api/v1/me", RunningService::bearer(token))->status;
}

}  // namespace

TEST(ServiceWebApp, SignInThenConcurrentCallersShareOneRenewalOfTheToken) {
    vell::service::Service::Options options;
    options.sessions.accessLifetime = 3;
    RunningService running(options);
    Browser browser(running.base() + "/app");
    EXPECT_EQ(browser.run(kToken), json());
    browser.signIn(running.credentials);
    EXPECT_EQ(browser.run(kEmail), running.credentials.email);
    const json first = browser.run(kToken);
    EXPECT_EQ(meStatus(running, first), 200);

    // Near the end of the three-second lifetime the bridge renews, once for both callers.
    json pair;
    ASSERT_TRUE(browser.waitUntil([&] {
        pair = browser.run("return await Promise.all([window.__vellBridge.token(), window.__vellBridge.token()])");
        return pair[0] != first;
    }));
    EXPECT_EQ(pair[0], pair[1]);
    EXPECT_EQ(meStatus(running, first), 401);
    EXPECT_EQ(meStatus(running, pair[0]), 200);
    EXPECT_EQ(running.client().Get("/app/..%2F..%2Fetc%2Fpasswd")->status, 404);  // nothing beside the app is served
}

TEST(ServiceWebApp, AdoptInstallsASessionHandedOverByTheDesktop) {
    RunningService running;
    Browser browser(running.base() + "/app");
    const char* adopt = "return await window.__vellBridge.adopt(a, r)";
    EXPECT_EQ(browser.run(adopt, {{"a", "nonsense"}, {"r", "nonsense"}}), false);
    EXPECT_EQ(browser.run(kToken), json());

    // An expired access token comes with a good refresh token: renewed on the way in.
    json session = running.signIn();
    running.now = running.now + 3601;
    EXPECT_EQ(browser.run(adopt, {{"a", session["access_token"]}, {"r", session["refresh_token"]}}), true);
    EXPECT_EQ(browser.run(kEmail), running.credentials.email);
    EXPECT_TRUE(browser.waitUntil([&] { return browser.visible("notes"); }));
    EXPECT_EQ(meStatus(running, browser.run(kToken)), 200);
}

TEST(ServiceWebApp, ConnectOpensAVellLinkWithASessionOfTheDesktopsOwn) {
    RunningService running;
    Browser browser(running.base() + "/app#/desktop");
    EXPECT_TRUE(browser.visible("auth-hint"));
    browser.signIn(running.credentials);
    ASSERT_TRUE(browser.visible("desktop"));

    browser.run("document.getElementById('connect').click()");
    ASSERT_TRUE(browser.waitUntil([&] { return !browser.links().empty(); }));
    const std::string link = browser.links().front();
    ASSERT_EQ(link.rfind("vell://auth#", 0), 0u) << link;
    json fields = browser.run("return Object.fromEntries(new URLSearchParams(link.split('#')[1]))", {{"link", link}});
    EXPECT_EQ(fields["email"], running.credentials.email);
    EXPECT_DOUBLE_EQ(std::stod(fields["expires_at"].get<std::string>()), running.now + 3600);
    EXPECT_EQ(meStatus(running, fields["access_token"]), 200);

    // Browser and desktop each renew their own session.
    EXPECT_NE(browser.run(kToken), fields["access_token"]);
    EXPECT_EQ(running.post("/api/v1/auth/refresh", json{{"refresh_token", fields["refresh_token"]}}.dump())->status,
              200);
    EXPECT_EQ(meStatus(running, browser.run(kToken)), 200);
}

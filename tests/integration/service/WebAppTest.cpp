// The web application in a real WebKitGTK view against a vell-service child
// process: sign-in, the script bridge and its token renewal, adoption of a
// handed-over session, and the desktop sign-in page's link. (The note buttons'
// messages are followed end to end in the application's test.)
#include "ChildProcesses.h"
#include "LoopbackServer.h"
#include "Polling.h"
#include "ScratchFolder.h"

#include <gio/gio.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using nlohmann::json;

namespace {

template <typename T>
struct GObjectUnref {
    void operator()(T* object) const { g_object_unref(object); }
};
template <typename T>
using GRef = std::unique_ptr<T, GObjectUnref<T>>;

// Runs the GLib main loop until the condition holds or the time is up.
bool pumpUntil(const std::function<bool()>& condition, double seconds = 60) {
    return vell::test::waitUntil(condition, seconds, [] {
        if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
}

// vell-service as a child process with a short access-token lifetime.
class ServiceProcess {
public:
    explicit ServiceProcess(double accessSeconds)
        : process_({VELL_SERVICE_BINARY, "--port", std::to_string(port_), "--data-dir", dataDir_.path().string(),
                    "--access-ttl", std::to_string(accessSeconds)},
                   G_SUBPROCESS_FLAGS_STDOUT_PIPE) {
        GRef<GDataInputStream> lines(g_data_input_stream_new(g_subprocess_get_stdout_pipe(process_.get())));
        // The first account's line comes first; the address once it listens.
        for (;;) {
            gsize length = 0;
            char* line = g_data_input_stream_read_line_utf8(lines.get(), &length, nullptr, nullptr);
            if (!line) throw std::runtime_error("vell-service ended before it listened");
            std::string text(line);
            g_free(line);
            if (auto at = text.find("password "); at != std::string::npos)
                password = text.substr(at + 9, text.find(' ', at + 9) - at - 9);
            if (text.find("/app") != std::string::npos) break;
        }
    }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    httplib::Client client() const { return httplib::Client("127.0.0.1", port_); }
    int meStatus(const std::string& token) const {
        auto result = client().Get("/api/v1/me", {{"Authorization", "Bearer " + token}});
        return result ? result->status : 0;
    }
    json signIn() const {
        auto result = client().Post("/api/v1/auth/signin", json{{"email", email}, {"password", password}}.dump(),
                                    "application/json");
        return result && result->status == 200 ? json::parse(result->body) : json();
    }

    const std::string email = "demo@vell.local";
    std::string password;

private:
    int port_ = vell::test::closedLoopbackPort();
    vell::test::ScratchFolder dataDir_{"vell-webapp"};
    vell::test::ChildProcess process_;
};

// A web view as the desktop hosts it: a "vell" message handler
// and vell: links caught before they leave the view.
class Browser {
public:
    Browser() {
        static bool started = gtk_init_check(nullptr, nullptr);
        if (!started) throw std::runtime_error("no display");
        manager_.reset(webkit_user_content_manager_new());
        g_signal_connect(manager_.get(), "script-message-received::vell", G_CALLBACK(&Browser::onMessage), this);
        webkit_user_content_manager_register_script_message_handler(manager_.get(), "vell");
        context_.reset(webkit_web_context_new_ephemeral());
        view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context_.get(),
                                             "user-content-manager", manager_.get(), nullptr));
        g_signal_connect(view_, "decide-policy", G_CALLBACK(&Browser::onDecidePolicy), this);
        g_signal_connect(view_, "load-changed", G_CALLBACK(&Browser::onLoadChanged), this);
        window_ = gtk_offscreen_window_new();
        gtk_window_set_default_size(GTK_WINDOW(window_), 800, 600);
        gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
        gtk_widget_show_all(window_);
    }
    ~Browser() {
        g_signal_handlers_disconnect_by_data(view_, this);
        g_signal_handlers_disconnect_by_data(manager_.get(), this);
        gtk_widget_destroy(window_);
    }

    void open(const std::string& url) {
        loaded_ = false;
        webkit_web_view_load_uri(view_, url.c_str());
        if (!pumpUntil([this] { return loaded_; })) throw std::runtime_error("page did not load: " + url);
        // The script has run once its bridge exists.
        if (!pumpUntil([this] { return run("return !!window.__vellBridge") == true; }))
            throw std::runtime_error("no bridge on " + url);
    }

    // Runs the body of an async function in the page and answers its result.
    json run(const std::string& body, const std::map<std::string, std::string>& arguments = {}) {
        GVariant* args = nullptr;
        if (!arguments.empty()) {
            GVariantBuilder builder;
            g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
            for (auto& [name, value] : arguments)
                g_variant_builder_add(&builder, "{sv}", name.c_str(), g_variant_new_string(value.c_str()));
            args = g_variant_builder_end(&builder);
        }
        struct Call {
            bool done = false;
            json result;
            std::string error;
        } call;
        webkit_web_view_call_async_javascript_function(
            view_, body.c_str(), -1, args, nullptr, nullptr, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                auto* call = static_cast<Call*>(data);
                GError* error = nullptr;
                JSCValue* value =
                    webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, &error);
                if (!value) {
                    call->error = error ? error->message : "script failed";
                    g_clear_error(&error);
                } else {
                    char* text = jsc_value_is_undefined(value) ? nullptr : jsc_value_to_json(value, 0);
                    call->result = text ? json::parse(text) : json();
                    g_free(text);
                    g_object_unref(value);
                }
                call->done = true;
            },
            &call);
        if (!pumpUntil([&] { return call.done; })) throw std::runtime_error("script did not finish: " + body);
        if (!call.error.empty()) throw std::runtime_error(call.error + " in: " + body);
        return call.result;
    }

    bool visible(const std::string& id) { return run("return !document.getElementById('" + id + "').hidden") == true; }

    void signIn(const std::string& email, const std::string& password) {
        if (!pumpUntil([&] { return visible("auth"); })) throw std::runtime_error("no sign-in form");
        run("document.getElementById('email').value = e; document.getElementById('password').value = p;"
            "document.getElementById('auth-form').requestSubmit();",
            {{"e", email}, {"p", password}});
        if (!pumpUntil([&] { return !visible("auth"); })) throw std::runtime_error("sign-in did not finish");
    }

    std::vector<json> messages;        // posted to the "vell" handler
    std::vector<std::string> blocked;  // vell: links the page opened

private:
    static void onMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, Browser* self) {
        char* text = jsc_value_to_json(webkit_javascript_result_get_js_value(result), 0);
        self->messages.push_back(text ? json::parse(text) : json());
        g_free(text);
    }
    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                   Browser* self) {
        if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) return FALSE;
        auto* action =
            webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        std::string uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
        if (uri.rfind("vell:", 0) != 0) return FALSE;
        self->blocked.push_back(uri);
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, Browser* self) {
        if (event == WEBKIT_LOAD_FINISHED) self->loaded_ = true;
    }

    GRef<WebKitUserContentManager> manager_;
    GRef<WebKitWebContext> context_;
    WebKitWebView* view_ = nullptr;  // owned by the window
    GtkWidget* window_ = nullptr;
    bool loaded_ = false;
};

std::map<std::string, std::string> fragmentOf(const std::string& link) {
    std::map<std::string, std::string> values;
    std::string fragment = link.substr(link.find('#') + 1);
    size_t start = 0;
    while (start <= fragment.size()) {
        size_t end = fragment.find('&', start);
        std::string piece = fragment.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (auto eq = piece.find('='); eq != std::string::npos) {
            char* decoded = g_uri_unescape_string(piece.substr(eq + 1).c_str(), nullptr);
            values[piece.substr(0, eq)] = decoded ? decoded : "";
            g_free(decoded);
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return values;
}

const char* const kToken = "return await window.__vellBridge.token()";
const char* const kEmail = "return await window.__vellBridge.email()";

}  // namespace

TEST(ServiceWebApp, SignInThenTheBridgeAnswersAndRenewsTheToken) {
    ServiceProcess service(3);
    Browser browser;
    browser.open(service.base() + "/app");
    EXPECT_EQ(browser.run(kToken), json());
    EXPECT_EQ(browser.run(kEmail), json());

    browser.signIn(service.email, service.password);
    EXPECT_EQ(browser.run(kEmail), service.email);
    std::string first = browser.run(kToken);
    EXPECT_EQ(service.meStatus(first), 200);

    // After the three-second lifetime the bridge hands out a renewed token.
    std::string renewed;
    ASSERT_TRUE(pumpUntil([&] {
        renewed = browser.run(kToken);
        return renewed != first;
    }));
    EXPECT_EQ(service.meStatus(first), 401);
    EXPECT_EQ(service.meStatus(renewed), 200);

    // Concurrent callers share one renewal: both get the same, valid token.
    ASSERT_TRUE(pumpUntil([&] { return service.meStatus(renewed) == 401; }));
    json pair = browser.run("return await Promise.all([window.__vellBridge.token(), window.__vellBridge.token()])");
    ASSERT_TRUE(pair.is_array());
    EXPECT_EQ(pair[0], pair[1]);
    EXPECT_EQ(service.meStatus(pair[0]), 200);
}

TEST(ServiceWebApp, AdoptInstallsASessionHandedOverByTheDesktop) {
    ServiceProcess service(3);
    Browser browser;
    browser.open(service.base() + "/app");
    const char* adopt = "return await window.__vellBridge.adopt(a, r)";
    EXPECT_EQ(browser.run(adopt, {{"a", "nonsense"}, {"r", "nonsense"}}), false);
    EXPECT_EQ(browser.run(kToken), json());

    json session = service.signIn();
    EXPECT_EQ(browser.run(adopt, {{"a", session["access_token"]}, {"r", session["refresh_token"]}}), true);
    EXPECT_EQ(browser.run(kToken), session["access_token"]);
    EXPECT_EQ(browser.run(kEmail), service.email);
    EXPECT_TRUE(pumpUntil([&] { return browser.visible("notes"); }));

    // An expired access token with a good refresh token is adopted too.
    json later = service.signIn();
    ASSERT_TRUE(pumpUntil([&] { return service.meStatus(later["access_token"]) == 401; }));
    EXPECT_EQ(browser.run(adopt, {{"a", later["access_token"]}, {"r", later["refresh_token"]}}), true);
    std::string token = browser.run(kToken);
    EXPECT_EQ(service.meStatus(token), 200);
}

TEST(ServiceWebApp, ConnectOpensAVellLinkCarryingTheSession) {
    ServiceProcess service(3600);
    Browser browser;
    browser.open(service.base() + "/app#/desktop");
    EXPECT_TRUE(browser.visible("auth-hint"));
    browser.signIn(service.email, service.password);
    ASSERT_TRUE(browser.visible("desktop"));

    browser.run("document.getElementById('connect').click()");
    ASSERT_TRUE(pumpUntil([&] { return !browser.blocked.empty(); }));
    std::string link = browser.blocked.front();
    EXPECT_EQ(link.rfind("vell://auth#", 0), 0u) << link;
    auto fields = fragmentOf(link);
    EXPECT_EQ(fields["email"], service.email);
    EXPECT_EQ(service.meStatus(fields["access_token"]), 200);
    EXPECT_FALSE(fields["refresh_token"].empty());
    double expiresAt = std::stod(fields["expires_at"]);
    double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(expiresAt, now + 3600, 120);

    // The desktop's session is its own: the page's token is a different one.
    EXPECT_NE(browser.run(kToken), fields["access_token"]);
    auto refreshed = service.client().Post("/api/v1/auth/refresh",
                                           json{{"refresh_token", fields["refresh_token"]}}.dump(), "application/json");
    ASSERT_TRUE(refreshed);
    EXPECT_EQ(refreshed->status, 200);
    EXPECT_EQ(service.meStatus(browser.run(kToken)), 200);
}

// The web application in a real WebKitGTK view against a vell-service child
// process: sign-in, the script bridge, the desktop sign-in page and the
// messages the page posts to the desktop.
#include "RecordingHttpServer.h"

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
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// vell-service as a child process with a short access-token lifetime.
class ServiceProcess {
public:
    explicit ServiceProcess(double accessSeconds) : port_(vell::test::closedLoopbackPort()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "vell-webapp.XXXXXX").string();
        dataDir_ = mkdtemp(pattern.data());
        std::string port = std::to_string(port_), ttl = std::to_string(accessSeconds);
        GError* error = nullptr;
        process_.reset(g_subprocess_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE, &error, VELL_SERVICE_BINARY, "--port",
                                        port.c_str(), "--data-dir", dataDir_.c_str(), "--access-ttl", ttl.c_str(),
                                        nullptr));
        if (!process_) throw std::runtime_error(error ? error->message : "cannot start vell-service");
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
    ~ServiceProcess() {
        g_subprocess_send_signal(process_.get(), SIGTERM);
        g_subprocess_wait(process_.get(), nullptr, nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(dataDir_, ignored);
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
    int port_;
    std::filesystem::path dataDir_;
    GRef<GSubprocess> process_;
};

// A web view as the desktop hosts it: a "vell" message handler (optional)
// and vell: links caught before they leave the view.
class Browser {
public:
    explicit Browser(bool desktopHandler = true) {
        static bool started = gtk_init_check(nullptr, nullptr);
        if (!started) throw std::runtime_error("no display");
        manager_.reset(webkit_user_content_manager_new());
        if (desktopHandler) {
            g_signal_connect(manager_.get(), "script-message-received::vell", G_CALLBACK(&Browser::onMessage), this);
            webkit_user_content_manager_register_script_message_handler(manager_.get(), "vell");
        }
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

TEST(ServiceWebApp, NoteButtonsPostFillAndInsertRequests) {
    ServiceProcess service(3600);
    Browser browser;
    browser.open(service.base() + "/app");
    browser.signIn(service.email, service.password);
    ASSERT_TRUE(pumpUntil([&] { return browser.visible("notes"); }));
    EXPECT_TRUE(browser.visible("fill-note"));
    EXPECT_TRUE(browser.visible("insert-note"));

    browser.run(
        "document.getElementById('note-title').value = 'Contact';"
        "document.getElementById('note-body').value = 'Name: Ada Lovelace\\nPhone: 555 0100';"
        "document.getElementById('fill-note').click();");
    ASSERT_TRUE(pumpUntil([&] { return !browser.messages.empty(); }));
    json fill = browser.messages.front();
    EXPECT_EQ(fill["verb"], "fillNote");
    EXPECT_EQ(fill["title"], "Contact");
    ASSERT_TRUE(fill["noteId"].is_string());

    // The note was saved first, so the service can fill from it.
    std::string token = browser.run(kToken);
    auto mapped = service.client().Post(
        "/api/v1/fill", {{"Authorization", "Bearer " + token}},
        json{{"noteId", fill["noteId"]}, {"fields", {{{"id", "f0"}, {"type", "text"}, {"label", "Name"}}}}}.dump(),
        "application/json");
    ASSERT_TRUE(mapped);
    EXPECT_EQ(json::parse(mapped->body)["values"]["f0"], "Ada Lovelace");

    browser.run("document.getElementById('insert-note').click()");
    ASSERT_TRUE(pumpUntil([&] { return browser.messages.size() == 2; }));
    EXPECT_EQ(browser.messages[1], (json{{"verb", "insertText"}, {"text", "Name: Ada Lovelace\nPhone: 555 0100"}}));
}

TEST(ServiceWebApp, NoteButtonsAreHiddenOutsideTheDesktop) {
    ServiceProcess service(3600);
    Browser browser(false);
    browser.open(service.base() + "/app");
    browser.signIn(service.email, service.password);
    ASSERT_TRUE(pumpUntil([&] { return browser.visible("notes"); }));
    EXPECT_FALSE(browser.visible("fill-note"));
    EXPECT_FALSE(browser.visible("insert-note"));
    EXPECT_TRUE(browser.visible("save-note"));
}

TEST(ServiceWebApp, WrongPasswordShowsTheServicesMessage) {
    ServiceProcess service(3600);
    Browser browser;
    browser.open(service.base() + "/app");
    browser.run(
        "document.getElementById('email').value = 'demo@vell.local';"
        "document.getElementById('password').value = 'wrong password';"
        "document.getElementById('auth-form').requestSubmit();");
    ASSERT_TRUE(
        pumpUntil([&] { return browser.run("return document.getElementById('auth-error').textContent") != ""; }));
    EXPECT_EQ(browser.run("return document.getElementById('auth-error').textContent"), "Wrong e-mail or password.");
    EXPECT_EQ(browser.run(kToken), json());
}

// Two places edit one note: the page's stale save is refused and keeps what
// was typed; saving again is a deliberate overwrite. Then, once the access
// token has lapsed, signing out still ends the session.
TEST(ServiceWebApp, StaleNoteSavesKeepTheTextAndSignOutOfAnIdleTabEndsTheSession) {
    ServiceProcess service(3);
    Browser browser;
    browser.open(service.base() + "/app");
    browser.signIn(service.email, service.password);
    ASSERT_TRUE(pumpUntil([&] { return browser.visible("notes"); }));
    auto status = [&] { return browser.run("return document.getElementById('note-status').textContent"); };
    auto save = [&](const std::string& body) {
        browser.run("document.getElementById('note-body').value = b; document.getElementById('save-note').click();",
                    {{"b", body}});
    };
    save("Name: Ada");
    ASSERT_TRUE(pumpUntil([&] { return status() == "Saved."; }));

    auto other = service.signIn();
    auto auth = httplib::Headers{{"Authorization", "Bearer " + other["access_token"].get<std::string>()}};
    auto notes = json::parse(service.client().Get("/api/v1/notes", auth)->body)["notes"];
    std::string path = "/api/v1/notes/" + notes[0]["id"].get<std::string>();
    ASSERT_EQ(service.client().Put(path, auth, R"({"body": "Name: Grace", "version": 1})", "application/json")->status,
              200);

    save("Name: Ada Lovelace");
    ASSERT_TRUE(pumpUntil([&] { return status() != "Saved."; }));
    EXPECT_NE(status().get<std::string>().find("changed elsewhere"), std::string::npos);
    EXPECT_EQ(browser.run("return document.getElementById('note-body').value"), "Name: Ada Lovelace");
    browser.run("document.getElementById('save-note').click()");
    ASSERT_TRUE(pumpUntil([&] { return status() == "Saved."; }));
    EXPECT_EQ(json::parse(service.client().Get("/api/v1/notes", auth)->body)["notes"][0]["body"], "Name: Ada Lovelace");

    std::string refresh = browser.run("return JSON.parse(localStorage.getItem('vell.session')).refresh");
    std::string access = browser.run("return JSON.parse(localStorage.getItem('vell.session')).access");
    ASSERT_TRUE(pumpUntil([&] { return service.meStatus(access) == 401; }));
    browser.run("document.getElementById('sign-out').click()");
    pumpUntil([] { return false; }, 2);  // the page's request; a probe would rotate the token itself
    EXPECT_EQ(service.client()
                  .Post("/api/v1/auth/refresh", json{{"refresh_token", refresh}}.dump(), "application/json")
                  ->status,
              401);
}

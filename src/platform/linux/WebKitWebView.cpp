#include "platform/linux/WebKitWebView.h"

#include "platform/Folders.h"
#include "platform/linux/ScriptEnvelope.h"

#include <glib/gstdio.h>

#include <string>

namespace vell::platform {

namespace {

using nlohmann::json;

constexpr const char* bridgeWorld = "vell-bridge";

// Page world, top frame: the handler object the page posts to. Each message
// crosses to the isolated world as JSON text in a DOM event.
std::string pageShim(const std::string& name, const std::string& event) {
    return "(() => {\n"
           "  const event = " +
           json(event).dump() +
           ";\n"
           "  const handler = Object.freeze({ postMessage(body) {\n"
           "    const text = JSON.stringify(body === undefined ? null : body);\n"
           "    document.dispatchEvent(new CustomEvent(event, { detail: text }));\n"
           "  } });\n"
           "  const webkit = window.webkit || (window.webkit = {});\n"
           "  const handlers = webkit.messageHandlers || (webkit.messageHandlers = {});\n"
           "  Object.defineProperty(handlers, " +
           json(name).dump() +
           ", { value: handler, enumerable: true });\n"
           "})();\n";
}

// Isolated world, top frame: stamps each relayed message with this frame's
// address, which the page cannot forge here, and posts it to the handler.
std::string isolatedRelay(const std::string& name, const std::string& event) {
    return "document.addEventListener(" + json(event).dump() +
           ", (e) => {\n"
           "  if (typeof e.detail !== 'string') return;\n"
           "  window.webkit.messageHandlers[" +
           json(name).dump() +
           "].postMessage(\n"
           "    { url: String(location.href), mainFrame: window === window.top, body: e.detail });\n"
           "}, true);\n";
}

WebView::ScriptResult toJson(JSCValue* value) {
    if (!value || jsc_value_is_undefined(value)) return std::nullopt;
    char* text = jsc_value_to_json(value, 0);
    if (!text) return std::nullopt;
    json result = json::parse(text, nullptr, false);
    g_free(text);
    if (result.is_discarded()) return std::nullopt;
    return result;
}

GVariant* toVariant(const json& arguments) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    for (const auto& [key, value] : arguments.items()) {
        GVariant* item;
        if (value.is_string())
            item = g_variant_new_string(value.get_ref<const std::string&>().c_str());
        else if (value.is_boolean())
            item = g_variant_new_boolean(value.get<bool>());
        else if (value.is_number())
            item = g_variant_new_double(value.get<double>());
        else
            item = g_variant_new_string(value.dump().c_str());
        g_variant_builder_add(&builder, "{sv}", key.c_str(), item);
    }
    return g_variant_builder_end(&builder);
}

// The completion of one asynchronous call; owned by the call, not by the view.
struct Pending {
    WebView::ScriptDone done;
};

std::optional<std::string> nonEmpty(const char* text) {
    if (!text || !*text) return std::nullopt;
    return std::string(text);
}

// The panel shows one small page, on machines that may have no GPU: WebKit
// keeps no caches for pages already left, renders in software, and its web
// process gives memory back once it grows past a few tens of MiB. Web
// processes are shared by every view of a context (the only model left in
// WebKitGTK), and DNS prefetching is gone from it too.
WebKitWebContext* leanContext(WebKitWebsiteDataManager* dataManager) {
    constexpr unsigned webProcessLimitMiB = 96;
    constexpr double pressurePollSeconds = 10;
    WebKitMemoryPressureSettings* pressure = webkit_memory_pressure_settings_new();
    webkit_memory_pressure_settings_set_memory_limit(pressure, webProcessLimitMiB);
    webkit_memory_pressure_settings_set_poll_interval(pressure, pressurePollSeconds);
    auto* context = WEBKIT_WEB_CONTEXT(g_object_new(WEBKIT_TYPE_WEB_CONTEXT, "website-data-manager", dataManager,
                                                    "memory-pressure-settings", pressure, nullptr));
    webkit_memory_pressure_settings_free(pressure);
    webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
    return context;
}

void makeLean(WebKitSettings* settings) {
    webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    webkit_settings_set_enable_page_cache(settings, FALSE);
    webkit_settings_set_enable_webgl(settings, FALSE);
}

}  // namespace

WebKitWebView::Options WebKitWebView::Options::standard() {
    std::filesystem::path data = folders::dataHome() / "Vell";
    std::filesystem::path cache = folders::cacheHome() / "Vell";
    return {data / "WebKit", cache / "WebKit", false};
}

WebKitWebView::WebKitWebView(Options options) : cancellable_(g_cancellable_new()) {
    // The program's data folder is private; WebKit's folders go inside it.
    g_mkdir_with_parents(options.dataDirectory.parent_path().c_str(), 0700);
    g_mkdir_with_parents(options.dataDirectory.c_str(), 0700);
    g_mkdir_with_parents(options.cacheDirectory.c_str(), 0700);

    dataManager_.reset(webkit_website_data_manager_new("base-data-directory", options.dataDirectory.c_str(),
                                                       "base-cache-directory", options.cacheDirectory.c_str(),
                                                       nullptr));
    context_.reset(leanContext(dataManager_.get()));
    WebKitCookieManager* cookies = webkit_website_data_manager_get_cookie_manager(dataManager_.get());
    webkit_cookie_manager_set_persistent_storage(cookies, (options.dataDirectory / "cookies.sqlite").c_str(),
                                                 WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);

    content_.reset(webkit_user_content_manager_new());
    settings_.reset(webkit_settings_new());
    webkit_settings_set_enable_media_stream(settings_.get(), TRUE);
    webkit_settings_set_enable_mock_capture_devices(settings_.get(), options.mockCaptureDevices);
    makeLean(settings_.get());

    GtkWidget* view =
        GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context_.get(), "user-content-manager",
                                content_.get(), "settings", settings_.get(), nullptr));
    view_.reset(reinterpret_cast<::WebKitWebView*>(g_object_ref_sink(view)));

    g_signal_connect(view_.get(), "decide-policy", G_CALLBACK(onDecidePolicy), this);
    g_signal_connect(view_.get(), "create", G_CALLBACK(onCreate), this);
    g_signal_connect(view_.get(), "permission-request", G_CALLBACK(onPermissionRequest), this);
    g_signal_connect(view_.get(), "load-changed", G_CALLBACK(onLoadChanged), this);
    g_signal_connect(view_.get(), "web-process-terminated", G_CALLBACK(onWebProcessTerminated), this);
}

WebKitWebView::~WebKitWebView() {
    g_cancellable_cancel(cancellable_.get());
    if (loadTimeout_) g_source_remove(loadTimeout_);
    g_signal_handlers_disconnect_by_data(view_.get(), this);
    for (auto& handler : handlers_) g_signal_handlers_disconnect_by_data(content_.get(), handler.get());
    gtk_widget_destroy(GTK_WIDGET(view_.get()));
}

void WebKitWebView::setUserAgent(const std::string& userAgent) {
    webkit_settings_set_user_agent(settings_.get(), userAgent.c_str());
}

void WebKitWebView::addScriptMessageHandler(const std::string& name) {
    const std::string event = std::string(bridgeWorld) + ":" + name;
    std::string signal = "script-message-received::" + name;
    handlers_.push_back(std::make_unique<MessageHandler>(MessageHandler{this, name}));
    g_signal_connect(content_.get(), signal.c_str(), G_CALLBACK(onScriptMessage), handlers_.back().get());
    webkit_user_content_manager_register_script_message_handler_in_world(content_.get(), name.c_str(), bridgeWorld);

    WebKitUserScript* shim = webkit_user_script_new(pageShim(name, event).c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                    WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    WebKitUserScript* relay =
        webkit_user_script_new_for_world(isolatedRelay(name, event).c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                         WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, bridgeWorld, nullptr, nullptr);
    webkit_user_content_manager_add_script(content_.get(), relay);
    webkit_user_content_manager_add_script(content_.get(), shim);
    webkit_user_script_unref(relay);
    webkit_user_script_unref(shim);
}

void WebKitWebView::load(const std::string& url, double timeoutSeconds) {
    if (loadTimeout_) g_source_remove(loadTimeout_);
    loadTimeout_ = 0;
    loadStarted_ = false;
    if (timeoutSeconds > 0)
        loadTimeout_ = g_timeout_add(static_cast<guint>(timeoutSeconds * 1000), onLoadTimeout, this);
    webkit_web_view_load_uri(view_.get(), url.c_str());
}

void WebKitWebView::onLoadChanged(::WebKitWebView*, WebKitLoadEvent event, gpointer data) {
    // Once the load has begun and finished (or failed) it needs no time-out,
    // and a later navigation of the page's own must not be stopped by it.
    auto* self = static_cast<WebKitWebView*>(data);
    if (event == WEBKIT_LOAD_STARTED) self->loadStarted_ = true;
    if (event == WEBKIT_LOAD_FINISHED && self->loadStarted_ && self->loadTimeout_) {
        g_source_remove(self->loadTimeout_);
        self->loadTimeout_ = 0;
    }
}

void WebKitWebView::onWebProcessTerminated(::WebKitWebView* view, WebKitWebProcessTerminationReason reason, gpointer) {
    // Left alone, the view would stay blank with nothing to answer the bridge.
    if (reason != WEBKIT_WEB_PROCESS_TERMINATED_BY_API && webkit_web_view_get_uri(view)) webkit_web_view_reload(view);
}

gboolean WebKitWebView::onLoadTimeout(gpointer data) {
    auto* self = static_cast<WebKitWebView*>(data);
    self->loadTimeout_ = 0;
    // Also when the load has not even begun yet: the stop follows it.
    webkit_web_view_stop_loading(self->view_.get());
    return G_SOURCE_REMOVE;
}

void WebKitWebView::callAsyncJavaScript(const std::string& body, const nlohmann::json& arguments, ScriptDone done) {
    webkit_web_view_call_async_javascript_function(
        view_.get(), body.c_str(), -1, arguments.empty() ? nullptr : toVariant(arguments), nullptr, nullptr,
        cancellable_.get(),
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
            GError* error = nullptr;
            JSCValue* value = webkit_web_view_call_async_javascript_function_finish(
                reinterpret_cast<::WebKitWebView*>(source), result, &error);
            g_clear_error(&error);
            ScriptResult answer = toJson(value);
            if (value) g_object_unref(value);
            pending->done(std::move(answer));
        },
        new Pending{std::move(done)});
}

void WebKitWebView::evaluateJavaScript(const std::string& script, ScriptDone done) {
    webkit_web_view_evaluate_javascript(
        view_.get(), script.c_str(), -1, nullptr, nullptr, cancellable_.get(),
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
            GError* error = nullptr;
            JSCValue* value =
                webkit_web_view_evaluate_javascript_finish(reinterpret_cast<::WebKitWebView*>(source), result, &error);
            g_clear_error(&error);
            ScriptResult answer = toJson(value);
            if (value) g_object_unref(value);
            pending->done(std::move(answer));
        },
        new Pending{std::move(done)});
}

void WebKitWebView::clearWebsiteData(std::function<void()> done) {
    struct Clearing {
        std::function<void()> done;
    };
    webkit_website_data_manager_clear(
        dataManager_.get(), WEBKIT_WEBSITE_DATA_ALL, 0, cancellable_.get(),
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Clearing> clearing(static_cast<Clearing*>(data));
            GError* error = nullptr;
            webkit_website_data_manager_clear_finish(reinterpret_cast<WebKitWebsiteDataManager*>(source), result,
                                                     &error);
            bool cancelled = error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
            g_clear_error(&error);
            if (!cancelled && clearing->done) clearing->done();
        },
        new Clearing{std::move(done)});
}

std::optional<std::string> WebKitWebView::currentURL() const { return nonEmpty(webkit_web_view_get_uri(view_.get())); }

bool WebKitWebView::isLoading() const { return webkit_web_view_is_loading(view_.get()); }

// ---- signals ---------------------------------------------------------------------------

gboolean WebKitWebView::onDecidePolicy(::WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                       gpointer data) {
    auto* self = static_cast<WebKitWebView*>(data);
    auto delegate = self->delegate_.lock();
    if (!delegate) return FALSE;

    if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
        // Only here does WebKitGTK say which frame a navigation is for: the
        // delegate is asked again with that known.
        auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
        WebKitURIResponse* answer = webkit_response_policy_decision_get_response(response);
        Navigation navigation{nonEmpty(answer ? webkit_uri_response_get_uri(answer) : nullptr),
                              static_cast<bool>(webkit_response_policy_decision_is_main_frame_main_resource(response))};
        if (delegate->decideNavigation(navigation) == Policy::allow) return FALSE;  // WebKit's own answer
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }

    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    WebKitURIRequest* request = action ? webkit_navigation_action_get_request(action) : nullptr;
    std::optional<std::string> url = nonEmpty(request ? webkit_uri_request_get_uri(request) : nullptr);

    if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
        // Never a second view: the address goes to the default browser.
        delegate->requestNewWindow(url);
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    Navigation navigation{url, std::nullopt, action && webkit_navigation_action_is_user_gesture(action)};
    if (delegate->decideNavigation(navigation) == Policy::allow)
        webkit_policy_decision_use(decision);
    else
        webkit_policy_decision_ignore(decision);
    return TRUE;
}

GtkWidget* WebKitWebView::onCreate(::WebKitWebView*, WebKitNavigationAction* action, gpointer data) {
    auto* self = static_cast<WebKitWebView*>(data);
    if (auto delegate = self->delegate_.lock()) {
        WebKitURIRequest* request = action ? webkit_navigation_action_get_request(action) : nullptr;
        delegate->requestNewWindow(nonEmpty(request ? webkit_uri_request_get_uri(request) : nullptr));
    }
    return nullptr;
}

gboolean WebKitWebView::onPermissionRequest(::WebKitWebView* view, WebKitPermissionRequest* request, gpointer data) {
    auto* self = static_cast<WebKitWebView*>(data);
    bool grant = false;
    if (WEBKIT_IS_USER_MEDIA_PERMISSION_REQUEST(request)) {
        auto* media = WEBKIT_USER_MEDIA_PERMISSION_REQUEST(request);
        // WebKitGTK names no origin for media requests: the top page's address
        // stands for it (other frames need the top page's permission policy).
        MediaRequest ask{nonEmpty(webkit_web_view_get_uri(view)),
                         static_cast<bool>(webkit_user_media_permission_is_for_audio_device(media)),
                         static_cast<bool>(webkit_user_media_permission_is_for_video_device(media))};
        bool display = webkit_user_media_permission_is_for_display_device(media);
        if (auto delegate = self->delegate_.lock(); delegate && !display) grant = delegate->decideMediaCapture(ask);
    }
    if (grant)
        webkit_permission_request_allow(request);
    else
        webkit_permission_request_deny(request);
    return TRUE;
}

void WebKitWebView::onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
    auto* handler = static_cast<MessageHandler*>(data);
    auto delegate = handler->self->delegate_.lock();
    if (!delegate) return;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    G_GNUC_END_IGNORE_DEPRECATIONS
    ScriptResult envelope = toJson(value);
    if (!envelope) return;
    if (auto message = readScriptEnvelope(handler->name, *envelope)) delegate->didReceiveScriptMessage(*message);
}

}  // namespace vell::platform

#pragma once
// The panel's web view on WebKitGTK 4.1: a persistent website data store
// (cookies included) in the program's own data folder, the script bridge, and
// the delegate decisions.
//
// WebKitGTK does not say which frame posted a script message. So the message
// handler lives in an isolated script world, out of the page's reach, and a
// small page-world script, injected into the top frame only, defines
// window.webkit.messageHandlers.<name>.postMessage and relays each message to
// the isolated world, which stamps it with the frame's true address. Frames
// other than the top one get no handler at all.
//
// Navigations: WebKitGTK says which frame navigates only once the answer
// arrives (the response decision), so the delegate is asked when the request
// is about to go out (frame unknown, with whether the person started it) and,
// if it let it go, again with the answer (frame known).
// FIXME: a navigation to another site that the person did not start sends its
// request from the panel before the answer shows which frame it was for.
//
// A web process that ends unexpectedly (crashed, killed, out of memory) is
// replaced at once: the page it showed is loaded again, so the bridge answers
// after a short gap rather than never.

#include <gio/gio.h>
#include <webkit2/webkit2.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "platform/WebView.h"

namespace vell::platform {

class WebKitWebView final : public WebView {
public:
    struct Options {
        std::filesystem::path dataDirectory;   // cookies, local storage, databases
        std::filesystem::path cacheDirectory;  // caches only
        bool mockCaptureDevices = false;       // a fake microphone and camera (tests)

        // $XDG_DATA_HOME/Vell/WebKit and $XDG_CACHE_HOME/Vell/WebKit.
        static Options standard();
    };

    explicit WebKitWebView(Options options);
    ~WebKitWebView() override;
    WebKitWebView(const WebKitWebView&) = delete;
    WebKitWebView& operator=(const WebKitWebView&) = delete;

    void setDelegate(std::weak_ptr<Delegate> delegate) override { delegate_ = std::move(delegate); }
    void setUserAgent(const std::string& userAgent) override;
    void addScriptMessageHandler(const std::string& name) override;
    void load(const std::string& url, double timeoutSeconds) override;
    void callAsyncJavaScript(const std::string& body, const nlohmann::json& arguments, ScriptDone done) override;
    void evaluateJavaScript(const std::string& script, ScriptDone done) override;
    void clearWebsiteData(std::function<void()> done) override;
    std::optional<std::string> currentURL() const override;
    bool isLoading() const override;
    void* nativeView() override { return view_.get(); }

    ::WebKitWebView* widget() { return view_.get(); }

private:
    struct Unref {
        void operator()(gpointer object) const { g_object_unref(object); }
    };
    template <typename T>
    using Ref = std::unique_ptr<T, Unref>;

    // One registered handler: its name travels with each of its messages.
    struct MessageHandler {
        WebKitWebView* self;
        std::string name;
    };

    static gboolean onDecidePolicy(::WebKitWebView*, WebKitPolicyDecision*, WebKitPolicyDecisionType, gpointer self);
    static GtkWidget* onCreate(::WebKitWebView*, WebKitNavigationAction*, gpointer self);
    static gboolean onPermissionRequest(::WebKitWebView*, WebKitPermissionRequest*, gpointer self);
    static void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult*, gpointer handler);
    static void onLoadChanged(::WebKitWebView*, WebKitLoadEvent event, gpointer self);
    static void onWebProcessTerminated(::WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer self);
    static gboolean onLoadTimeout(gpointer self);

    Ref<WebKitWebsiteDataManager> dataManager_;
    Ref<WebKitWebContext> context_;
    Ref<WebKitUserContentManager> content_;
    Ref<WebKitSettings> settings_;
    Ref<::WebKitWebView> view_;
    Ref<GCancellable> cancellable_;
    std::weak_ptr<Delegate> delegate_;
    std::vector<std::unique_ptr<MessageHandler>> handlers_;
    guint loadTimeout_ = 0;
    bool loadStarted_ = false;  // the load given to load() has begun
};

}  // namespace vell::platform

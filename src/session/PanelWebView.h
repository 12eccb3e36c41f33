#pragma once
// The panel's embedded web view with the service's web application, and the
// desktop side of the script bridge between them: the desktop asks the page
// for the current access token and address, hands it a session, erases its
// stored data on sign-out, and takes two requests from it (fill from a note,
// insert a text). It also decides which navigations stay in the view (every
// other link goes to the default browser) and answers microphone requests.
//
// Main thread only. The retry loops and the view's callbacks hold this
// object weakly and stop once it is gone.
//
// At launch, before the session store is used:
//   PanelWebView::setShared(PanelWebView::create(loop,
//       std::make_unique<platform::WebKitWebView>(platform::WebKitWebView::Options::standard()),
//       {Config::apiBase(), Config::supabaseURL()},
//       [&desktop](std::string url) { desktop.openInBrowser(url); }));
// and PanelWebView::shared()->webView().nativeView() is the widget the panel shows.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/MainLoop.h"
#include "platform/Task.h"
#include "platform/WebView.h"
#include "session/SessionBridge.h"

namespace vell::session {

class PanelWebView final : public SessionBridge,
                           public platform::WebView::Delegate,
                           public std::enable_shared_from_this<PanelWebView> {
public:
    struct Addresses {
        std::string apiBase;   // the service; the start page is apiBase + "/app"
        std::string authBase;  // the authentication service, also allowed in the view
    };
    // Opens an address in the default browser.
    using Opener = std::function<void(std::string url)>;

    static constexpr std::string_view userAgent =
        "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) VellMac/0.3";
    static constexpr std::string_view handlerName = "vell";
    static constexpr double startTimeout = 60.0;
    static constexpr double tokenPause = 0.7;
    static constexpr double adoptPause = 0.9;
    static constexpr int adoptAttempts = 8;

    static constexpr std::string_view tokenScript =
        "return (window.__vellBridge ? await window.__vellBridge.token() : null)";
    static constexpr std::string_view emailScript =
        "return (window.__vellBridge ? await window.__vellBridge.email() : null)";
    static constexpr std::string_view adoptScript =
        "return (window.__vellBridge && window.__vellBridge.adopt) ? await window.__vellBridge.adopt(a, r) : false";

    // Sets the view up (user agent, handler, delegate) and loads the start page.
    static std::shared_ptr<PanelWebView> create(platform::MainLoop& loop, std::unique_ptr<platform::WebView> view,
                                                Addresses addresses, Opener opener);

    // The process-wide instance, put in place at launch (before the session
    // store is used); empty until then. Tests may put another in its place.
    static std::shared_ptr<PanelWebView> shared();
    static void setShared(std::shared_ptr<PanelWebView> instance);

    platform::WebView& webView() { return *view_; }
    std::string startPage() const { return addresses_.apiBase + "/app"; }

    // Asks the page for its access token up to `attempts` times, 0.7 s apart.
    Task<std::optional<std::string>> bridgeToken(int attempts) override;
    // Asks the page once for the signed-in address.
    Task<std::optional<std::string>> bridgeEmail();
    // Hands a session to the page: up to 8 attempts, 0.9 s apart, in the background.
    void adopt(std::string accessToken, std::string refreshToken, std::optional<double> expiresAt) override;
    // A plain script's value when it is a string (empty included); the debug report's page probe.
    Task<std::optional<std::string>> evalForDebug(std::string script);
    // Leaves the page at once, erases all website data, then loads the start page.
    void clear() override;
    Task<std::optional<std::string>> signedInAddress() override;

    // Requests from the page; empty until set.
    std::function<void(std::string noteId, std::optional<std::string> title)> onNoteFill;
    std::function<void(std::string text)> onInsertText;

    // The view's delegate.
    void didReceiveScriptMessage(const platform::WebView::ScriptMessage& message) override;
    platform::WebView::Policy decideNavigation(const platform::WebView::Navigation& navigation) override;
    void requestNewWindow(const std::optional<std::string>& url) override;
    bool decideMediaCapture(const platform::WebView::MediaRequest& request) override;

    PanelWebView(platform::MainLoop& loop, std::unique_ptr<platform::WebView> view, Addresses addresses,
                 Opener opener);  // use create()

private:
    Task<platform::WebView::ScriptResult> call(std::string body, nlohmann::json arguments);
    static Task<std::optional<std::string>> askForToken(std::weak_ptr<PanelWebView> self, int attempts);
    static Task<> handOver(std::weak_ptr<PanelWebView> self, std::string accessToken, std::string refreshToken);

    platform::MainLoop& loop_;
    std::unique_ptr<platform::WebView> view_;
    Addresses addresses_;
    Opener opener_;
};

}  // namespace vell::session

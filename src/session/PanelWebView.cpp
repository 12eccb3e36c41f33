#include "session/PanelWebView.h"

#include <mutex>

#include "platform/Async.h"
#include "session/WebAddress.h"

namespace vell::session {

namespace {

using nlohmann::json;
using platform::WebView;

std::mutex sharedMutex;
std::shared_ptr<PanelWebView> sharedView;

std::optional<std::string> nonEmptyString(const WebView::ScriptResult& result) {
    if (result && result->is_string() && !result->get_ref<const std::string&>().empty())
        return result->get<std::string>();
    return std::nullopt;
}

}  // namespace

PanelWebView::PanelWebView(platform::MainLoop& loop, std::unique_ptr<WebView> view, Addresses addresses, Opener opener)
    : loop_(loop), view_(std::move(view)), addresses_(std::move(addresses)), opener_(std::move(opener)) {}

std::shared_ptr<PanelWebView> PanelWebView::create(platform::MainLoop& loop, std::unique_ptr<WebView> view,
                                                   Addresses addresses, Opener opener) {
    auto panel = std::make_shared<PanelWebView>(loop, std::move(view), std::move(addresses), std::move(opener));
    panel->view_->setUserAgent(std::string(userAgent));
    panel->view_->setDelegate(panel);
    panel->view_->addScriptMessageHandler(std::string(handlerName));
    panel->view_->load(panel->startPage(), startTimeout);
    return panel;
}

std::shared_ptr<PanelWebView> PanelWebView::shared() {
    std::lock_guard lock(sharedMutex);
    return sharedView;
}

void PanelWebView::setShared(std::shared_ptr<PanelWebView> instance) {
    std::lock_guard lock(sharedMutex);
    sharedView = std::move(instance);
}

// ---- desktop to page ------------------------------------------------------------------

// Neither this nor the loops below keep the panel alive while a script runs:
// a view that goes away answers its open scripts with nothing.
// Tokens are asked of and handed to the service's own page only: while the
// top page is anywhere else, the bridge answers nothing.
Task<WebView::ScriptResult> PanelWebView::call(std::string body, json arguments) {
    if (!WebAddress::sameOrigin(view_->currentURL().value_or(""), addresses_.apiBase)) co_return std::nullopt;
    co_return co_await untilCalled<WebView::ScriptResult>(loop_, [&](Resolver<WebView::ScriptResult> answer) {
        view_->callAsyncJavaScript(body, arguments,
                                   [answer](WebView::ScriptResult result) { answer(std::move(result)); });
    });
}

Task<std::optional<std::string>> PanelWebView::bridgeToken(int attempts) {
    return askForToken(weak_from_this(), attempts);
}

Task<std::optional<std::string>> PanelWebView::askForToken(std::weak_ptr<PanelWebView> self, int attempts) {
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        platform::MainLoop* loop = nullptr;
        Task<WebView::ScriptResult> question;
        if (auto panel = self.lock()) {
            loop = &panel->loop_;
            question = panel->call(std::string(tokenScript), json::object());
        } else {
            co_return std::nullopt;
        }
        if (auto token = nonEmptyString(co_await question)) co_return token;
        if (attempt < attempts) co_await sleep(*loop, tokenPause);
    }
    co_return std::nullopt;
}

Task<std::optional<std::string>> PanelWebView::bridgeEmail() {
    co_return nonEmptyString(co_await call(std::string(emailScript), json::object()));
}

Task<std::optional<std::string>> PanelWebView::signedInAddress() {
    // Only the service's own pages speak for the sign-in; apiBase is an origin without a trailing slash.
    const std::string url = view_->currentURL().value_or("");
    const std::string& base = addresses_.apiBase;
    const bool own =
        url.starts_with(base) &&
        (url.size() == base.size() || std::string_view("/?#").find(url[base.size()]) != std::string_view::npos);
    if (!own) co_return std::nullopt;
    co_return co_await bridgeEmail();
}

void PanelWebView::adopt(std::string accessToken, std::string refreshToken, std::optional<double>) {
    handOver(weak_from_this(), std::move(accessToken), std::move(refreshToken)).detach();
}

Task<> PanelWebView::handOver(std::weak_ptr<PanelWebView> self, std::string accessToken, std::string refreshToken) {
    const json arguments = {{"a", accessToken}, {"r", refreshToken}};
    for (int attempt = 1; attempt <= adoptAttempts; ++attempt) {
        platform::MainLoop* loop = nullptr;
        Task<WebView::ScriptResult> handing;
        if (auto panel = self.lock()) {
            loop = &panel->loop_;
            handing = panel->call(std::string(adoptScript), arguments);
        } else {
            co_return;
        }
        auto result = co_await handing;
        if (result && result->is_boolean() && result->get<bool>()) co_return;
        if (attempt < adoptAttempts) co_await sleep(*loop, adoptPause);
    }
}

Task<std::optional<std::string>> PanelWebView::evalForDebug(std::string script) {
    auto result = co_await untilCalled<WebView::ScriptResult>(loop_, [&](Resolver<WebView::ScriptResult> answer) {
        view_->evaluateJavaScript(script, [answer](WebView::ScriptResult value) { answer(std::move(value)); });
    });
    if (result && result->is_string()) co_return result->get<std::string>();
    co_return std::nullopt;
}

void PanelWebView::clear() {
    // The page that holds the session goes first, so it cannot write its
    // session back while the data is being erased; the start page follows
    // once nothing is left.
    view_->load("about:blank", startTimeout);
    view_->clearWebsiteData([weak = weak_from_this()] {
        if (auto panel = weak.lock()) panel->view_->load(panel->startPage(), startTimeout);
    });
}

// ---- page to desktop ------------------------------------------------------------------

void PanelWebView::didReceiveScriptMessage(const WebView::ScriptMessage& message) {
    if (message.handlerName != handlerName || !message.mainFrame || !message.frameURL) return;
    if (!WebAddress::sameOrigin(*message.frameURL, addresses_.apiBase)) return;

    const json& body = message.body;
    if (!body.is_object()) return;
    auto verb = body.find("verb");
    if (verb == body.end() || !verb->is_string()) return;

    if (*verb == "fillNote") {
        auto noteId = body.find("noteId");
        if (noteId == body.end() || !noteId->is_string() || !onNoteFill) return;
        std::optional<std::string> title;
        if (auto it = body.find("title"); it != body.end() && it->is_string()) title = it->get<std::string>();
        onNoteFill(noteId->get<std::string>(), title);
    } else if (*verb == "insertText") {
        auto text = body.find("text");
        if (text == body.end() || !text->is_string() || !onInsertText) return;
        onInsertText(text->get<std::string>());
    }
}

// ---- navigation, new windows, media ---------------------------------------------------

WebView::Policy PanelWebView::decideNavigation(const WebView::Navigation& navigation) {
    const auto& url = navigation.url;
    if (!url) return WebView::Policy::allow;
    if (WebAddress::scheme(*url) == "vell") return WebView::Policy::cancel;  // the program's own links
    if (!WebAddress::host(*url)) return WebView::Policy::allow;
    if (WebAddress::sameOrigin(*url, addresses_.apiBase) || WebAddress::sameOrigin(*url, addresses_.authBase))
        return WebView::Policy::allow;
    // Another site. The person's browser shows it when it would replace the
    // panel's page or the person clicked for it; a frame of another site is
    // quietly not loaded and never opens anything by itself.
    const bool show = navigation.mainFrame ? *navigation.mainFrame : navigation.byPerson;
    if (!show && !navigation.mainFrame) return WebView::Policy::allow;  // asked again once the frame is known
    if (show && opener_) opener_(*url);
    return WebView::Policy::cancel;
}

void PanelWebView::requestNewWindow(const std::optional<std::string>& url) {
    // The program's own links never leave the view, whichever way they are opened:
    // handed to the system, they would come straight back to the program.
    if (!url || url->empty() || WebAddress::scheme(*url) == "vell" || !opener_) return;
    opener_(*url);
}

bool PanelWebView::decideMediaCapture(const WebView::MediaRequest& request) {
    if (!request.microphone || request.camera || !request.originURL) return false;
    return WebAddress::sameOrigin(*request.originURL, addresses_.apiBase);
}

}  // namespace vell::session

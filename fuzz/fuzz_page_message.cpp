// What the page hands the desktop: a message posted to the "vell" handler,
// as the relay's envelope text (input starting with '{'), or as its parts
// (main-frame flag byte, frame address line, body JSON text); the frame
// address is also offered as a navigation and as a microphone request.
#include <nlohmann/json.hpp>

#include "FuzzInput.h"
#include "platform/linux/ScriptEnvelope.h"
#include "session/PanelWebView.h"
#include "session/WebAddress.h"

namespace {

using namespace vell;
using nlohmann::json;

// A loop on which nothing ever runs: the page's requests are all handled at once.
class StillLoop final : public platform::MainLoop {
public:
    void post(std::function<void()>) override {}
    Timer after(double, std::function<void()>) override { return {}; }
    Timer every(double, std::function<void()>) override { return {}; }
    void background(std::function<void()>) override {}
    double now() const override { return 0; }
};

// A view that is never shown: the handler only reads messages.
class UnseenView final : public platform::WebView {
public:
    void setDelegate(std::weak_ptr<Delegate>) override {}
    void setUserAgent(const std::string&) override {}
    void addScriptMessageHandler(const std::string&) override {}
    void load(const std::string&, double) override {}
    void callAsyncJavaScript(const std::string&, const json&, ScriptDone done) override { done(std::nullopt); }
    void evaluateJavaScript(const std::string&, ScriptDone done) override { done(std::nullopt); }
    void clearWebsiteData(std::function<void()> done) override { done(); }
    std::optional<std::string> currentURL() const override { return std::nullopt; }
    bool isLoading() const override { return false; }
    void* nativeView() override { return nullptr; }
};

constexpr const char* apiBase = "https://app.vell.test";
constexpr const char* authBase = "https://auth.vell.test";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static StillLoop loop;
    std::optional<std::string> opened;
    auto panel = std::make_shared<session::PanelWebView>(loop, std::make_unique<UnseenView>(),
                                                         session::PanelWebView::Addresses{apiBase, authBase},
                                                         [&](std::string url) { opened = url; });
    int requests = 0;
    panel->onNoteFill = [&](std::string, std::optional<std::string>) { ++requests; };
    panel->onInsertText = [&](std::string) { ++requests; };

    fuzz::FuzzInput input(data, size);
    std::optional<platform::WebView::ScriptMessage> message;
    if (size > 0 && data[0] == '{') {
        message = platform::readScriptEnvelope("vell", json::parse(input.rest(), nullptr, false));
    } else {
        bool mainFrame = input.byte() & 1;
        std::string url = input.line();
        message =
            platform::readScriptEnvelope("vell", {{"url", url}, {"mainFrame", mainFrame}, {"body", input.rest()}});
    }
    if (!message) return 0;

    panel->didReceiveScriptMessage(*message);
    using session::WebAddress;
    const auto ours = [](const std::string& url) {
        return WebAddress::sameOrigin(url, apiBase) || WebAddress::sameOrigin(url, authBase);
    };
    // Only the service's own page, in the top frame, may ask for anything.
    if (requests > 0)
        fuzz::require(message->mainFrame && WebAddress::sameOrigin(*message->frameURL, apiBase),
                      "requests from our page only");
    fuzz::require(requests <= 1, "one message, at most one request");

    if (!message->frameURL) return 0;
    const auto& url = *message->frameURL;
    // The same address as a navigation of the top page and of a frame, started by the person or not.
    for (bool top : {true, false}) {
        const auto policy = panel->decideNavigation({url, top, message->mainFrame});
        if (policy == platform::WebView::Policy::allow && WebAddress::host(url))
            fuzz::require(ours(url), "the view stays on the service's sites");
    }
    panel->requestNewWindow(url);
    if (opened) fuzz::require(WebAddress::scheme(*opened) != "vell", "the program's own links stay inside");
    if (panel->decideMediaCapture({url, true, false}))
        fuzz::require(WebAddress::sameOrigin(url, apiBase), "the microphone for our page only");
    return 0;
}

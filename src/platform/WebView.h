#pragma once
// An embedded web view with a persistent website data store, a script bridge
// and delegate decisions. Everything here happens on the main thread:
// completions and delegate calls arrive on the main loop.

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace vell::platform {

class WebView {
public:
    // A message the page posted to a registered handler.
    struct ScriptMessage {
        std::string handlerName;
        bool mainFrame = false;
        std::optional<std::string> frameURL;  // the posting frame's current address
        nlohmann::json body;                  // the posted value as JSON
    };
    enum class Policy { allow, cancel };
    // A navigation the view is about to start or, once its answer arrived, to
    // show. Some engines tell which frame navigates only at the second step.
    struct Navigation {
        std::optional<std::string> url;  // absent when the action has none
        // True for the top page, false for a frame inside it; absent while
        // not known yet. An allowed navigation with an unknown frame is asked
        // about again, with the frame known, before anything is shown.
        std::optional<bool> mainFrame;
        bool byPerson = false;  // started by a click or key press of the person
    };
    // A request for the microphone and/or the camera.
    struct MediaRequest {
        std::optional<std::string> originURL;  // the requesting page's address
        bool microphone = false;
        bool camera = false;
    };
    // A script's value as JSON; absent when the script failed or its value
    // has no JSON form (undefined, a function).
    using ScriptResult = std::optional<nlohmann::json>;
    using ScriptDone = std::function<void(ScriptResult)>;

    // The view's owner answers these. The view holds it weakly.
    class Delegate {
    public:
        virtual ~Delegate() = default;
        virtual void didReceiveScriptMessage(const ScriptMessage& message) = 0;
        // Every navigation of any frame.
        virtual Policy decideNavigation(const Navigation& navigation) = 0;
        // The page asked for a new window; the view never creates one.
        virtual void requestNewWindow(const std::optional<std::string>& url) = 0;
        // True grants the request without a prompt; false denies it.
        virtual bool decideMediaCapture(const MediaRequest& request) = 0;
    };

    virtual ~WebView() = default;

    virtual void setDelegate(std::weak_ptr<Delegate> delegate) = 0;
    // Replaces the engine's own user agent entirely.
    virtual void setUserAgent(const std::string& userAgent) = 0;
    // The page posts to it as window.webkit.messageHandlers.<name>.postMessage(value);
    // only the top frame gets the handler.
    virtual void addScriptMessageHandler(const std::string& name) = 0;
    // Loads an address with the default cache policy; a load that has not
    // finished after `timeoutSeconds` (when positive) is stopped.
    virtual void load(const std::string& url, double timeoutSeconds) = 0;
    // Runs `body` as the body of an async function in the page's own world of
    // the main frame, with each key of `arguments` (an object) as a named
    // parameter; `done` gets the awaited return value.
    virtual void callAsyncJavaScript(const std::string& body, const nlohmann::json& arguments, ScriptDone done) = 0;
    // Evaluates a plain script in the page's world of the main frame.
    virtual void evaluateJavaScript(const std::string& script, ScriptDone done) = 0;
    // Removes every kind of stored website data of every site (cookies, local
    // and session storage, databases, caches); `done` runs when it is gone.
    virtual void clearWebsiteData(std::function<void()> done) = 0;

    virtual std::optional<std::string> currentURL() const = 0;
    virtual bool isLoading() const = 0;
    // The toolkit's widget to embed (a GtkWidget* on Linux).
    virtual void* nativeView() = 0;
};

}  // namespace vell::platform

#pragma once
// A recording web view for the panel's logic: it remembers every call with
// the virtual time it came at, and the test answers each script when it likes
// (or lets `respond` answer at once).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/MainLoop.h"
#include "platform/WebView.h"

namespace vell::test {

class FakeWebView final : public platform::WebView {
public:
    struct ScriptCall {
        std::string body;
        nlohmann::json arguments;
        double at = 0;  // loop time of the call
        ScriptDone done;
    };
    struct Load {
        std::string url;
    };
    // What the view recorded; shared so a test keeps it after handing the view over.
    struct Record {
        std::vector<Load> loads;
        std::vector<ScriptCall> scripts;
        std::vector<std::function<void()>> clears;  // pending completions of clearWebsiteData
        // When set, answers every script at once with its result.
        std::function<ScriptResult(const ScriptCall&)> respond;
        std::optional<std::string> url;
    };

    FakeWebView(platform::MainLoop& loop, std::shared_ptr<Record> record) : loop_(loop), record_(std::move(record)) {}
    // Like a real view, one that goes away answers its open scripts with nothing.
    ~FakeWebView() override {
        for (auto& call : record_->scripts) call.done(std::nullopt);
    }

    void setDelegate(std::weak_ptr<Delegate>) override {}
    void setUserAgent(const std::string&) override {}
    void addScriptMessageHandler(const std::string&) override {}
    void load(const std::string& url, double) override {
        record_->loads.push_back({url});
        record_->url = url;
    }
    void callAsyncJavaScript(const std::string& body, const nlohmann::json& arguments, ScriptDone done) override {
        script({body, arguments, loop_.now(), std::move(done)});
    }
    void evaluateJavaScript(const std::string& script, ScriptDone done) override {
        this->script({script, nlohmann::json::object(), loop_.now(), std::move(done)});
    }
    void clearWebsiteData(std::function<void()> done) override { record_->clears.push_back(std::move(done)); }
    std::optional<std::string> currentURL() const override { return record_->url; }
    bool isLoading() const override { return false; }
    void* nativeView() override { return nullptr; }

private:
    void script(ScriptCall call) {
        // Each script is answered once; later answers are ignored.
        auto answered = std::make_shared<bool>(false);
        call.done = [answered, done = std::move(call.done)](ScriptResult result) {
            if (!*answered) {
                *answered = true;
                done(std::move(result));
            }
        };
        if (record_->respond) {
            auto result = record_->respond(call);
            auto done = call.done;
            record_->scripts.push_back(std::move(call));
            done(std::move(result));
        } else {
            record_->scripts.push_back(std::move(call));
        }
    }

    platform::MainLoop& loop_;
    std::shared_ptr<Record> record_;
};

}  // namespace vell::test

#include "app/DebugCommands.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>

#include "platform/Async.h"
#include "session/PanelWebView.h"

namespace vell::app {
namespace {

using nlohmann::json;

// Replaces the file at `path`; a report that cannot be written is lost silently.
void writeReport(const json& report, const std::string& path) {
    std::string text;
    try {
        text = report.dump(2, ' ', false, json::error_handler_t::replace);
    } catch (...) {
        return;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (file) file << text << '\n';
}

const char* resultName(fill::FormAccess::Applied result) {
    switch (result) {
        case fill::FormAccess::Applied::applied:
            return "applied";
        case fill::FormAccess::Applied::check:
            return "check";
        case fill::FormAccess::Applied::failed:
            break;
    }
    return "failed";
}

}  // namespace

DebugCommands::DebugCommands(Services services, std::filesystem::path folder)
    : services_(services), folder_(std::move(folder)) {}

bool DebugCommands::enabled() const {
    std::error_code error;
    return !folder_.empty() && std::filesystem::exists(folder_ / flagFileName, error);
}

void DebugCommands::run(const links::TokenReport& command) {
    if (enabled()) token(services_.loop, command).detach();
}

void DebugCommands::run(const links::FillReport& command) {
    if (enabled()) fill(services_, command).detach();
}

Task<> DebugCommands::token(platform::MainLoop& loop, links::TokenReport command) {
    co_await sleep(loop, 0);
    json report{
        {"hasToken", false}, {"email", ""}, {"webviewURL", "nil"}, {"isLoading", false}, {"page", "eval failed"}};
    if (auto view = session::PanelWebView::shared()) {
        auto token = co_await view->bridgeToken(4);
        auto email = co_await view->bridgeEmail();
        report["hasToken"] = token.has_value();
        report["email"] = email.value_or("");
        report["webviewURL"] = view->webView().currentURL().value_or("nil");
        report["isLoading"] = view->webView().isLoading();
        report["page"] = (co_await view->evalForDebug(std::string(pageProbe))).value_or("eval failed");
    }
    writeReport(report, command.out);
}

Task<> DebugCommands::fill(Services services, links::FillReport command) {
    co_await sleep(services.loop, 0);
    const pid_t pid = command.pid;
    json report{{"pid", command.pid}, {"axTrusted", services.desktop.accessibilityTrusted()}};
    report["diag"] = services.diagnose ? services.diagnose(pid) : std::map<std::string, int>{};

    auto& engine = services.fillEngine;
    std::vector<fill::FormAccess::Field> fields;
    try {
        auto enumerate = [&engine, pid] { return engine.enumerate(pid, 40); };
        fields = co_await onBackground(services.loop, enumerate);
    } catch (...) {
        fields.clear();  // an unreadable window has no fields to report
    }
    json described = json::array();
    for (const auto& field : fields)
        described.push_back({{"id", field.id},
                             {"label", field.label.value_or("")},
                             {"placeholder", field.placeholder.value_or("")},
                             {"type", field.type},
                             {"near", field.near.value_or("")}});
    report["fields"] = described;

    std::optional<fill::FieldMapping::Mapping> mapping;
    try {
        std::map<std::string, std::string> source{{"transcript", command.transcript}};
        mapping = co_await services.fillService.send(std::move(source), fields);
    } catch (const std::exception& error) {
        report["error"] = error.what();
    }
    if (mapping) {
        report["values"] = mapping->values;
        report["unfilled"] = mapping->unfilled;
        std::vector<fill::FormAccess::Outcome> outcomes;
        try {
            auto apply = [&engine, values = mapping->values, fields] { return engine.apply(values, fields); };
            outcomes = co_await onBackground(services.loop, apply);
        } catch (...) {
            outcomes.clear();
        }
        json applied = json::array();
        for (const auto& outcome : outcomes)
            applied.push_back(
                {{"label", outcome.label}, {"value", outcome.value}, {"result", resultName(outcome.result)}});
        report["applied"] = applied;
    }
    writeReport(report, command.out);
}

}  // namespace vell::app

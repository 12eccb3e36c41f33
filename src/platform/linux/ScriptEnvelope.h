#pragma once
// The isolated relay posts each page message as an envelope
// {url, mainFrame, body}, where body is the page's value as JSON text.
// Reading it is kept free of the web engine so it can be exercised with
// hostile input on its own.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/WebView.h"

namespace vell::platform {

// The message an envelope carries to handler `handlerName`; absent when the
// envelope or its body is malformed.
inline std::optional<WebView::ScriptMessage> readScriptEnvelope(const std::string& handlerName,
                                                                const nlohmann::json& envelope) {
    if (!envelope.is_object()) return std::nullopt;
    auto url = envelope.find("url");
    auto mainFrame = envelope.find("mainFrame");
    auto body = envelope.find("body");
    if (url == envelope.end() || !url->is_string() || mainFrame == envelope.end() || !mainFrame->is_boolean() ||
        body == envelope.end() || !body->is_string())
        return std::nullopt;
    auto parsed = nlohmann::json::parse(body->get_ref<const std::string&>(), nullptr, false);
    if (parsed.is_discarded()) return std::nullopt;
    std::optional<std::string> frameURL;
    if (const auto& text = url->get_ref<const std::string&>(); !text.empty()) frameURL = text;
    return WebView::ScriptMessage{handlerName, mainFrame->get<bool>(), std::move(frameURL), std::move(parsed)};
}

}  // namespace vell::platform

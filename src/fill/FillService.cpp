#include "fill/FillService.h"

#include <nlohmann/json.hpp>

#include "platform/Async.h"
#include "platform/HttpClient.h"
#include "session/Session.h"

namespace vell::fill {

using nlohmann::json;

namespace {
constexpr const char* fallbackMessage = "Could not work out what goes where.";
}

FillService::FillService(session::Session& session, platform::HttpClient& http, platform::MainLoop& loop,
                         std::string apiBase, double timeoutSeconds)
    : session_(&session), http_(&http), loop_(&loop), apiBase_(std::move(apiBase)), timeoutSeconds_(timeoutSeconds) {}

std::string FillService::requestBody(const std::map<std::string, std::string>& source,
                                     const std::vector<FormAccess::Field>& fields) {
    json body = json::object();
    for (const auto& [key, value] : source) body[key] = value;
    json list = json::array();
    for (const auto& field : fields) {
        json entry = {{"id", field.id}, {"type", field.type}};
        if (field.label) entry["label"] = *field.label;
        if (field.placeholder) entry["placeholder"] = *field.placeholder;
        if (field.near) entry["near"] = *field.near;
        list.push_back(std::move(entry));
    }
    body["fields"] = std::move(list);
    // Invalid UTF-8 from another application is replaced rather than thrown on.
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

FillService::Mapping FillService::readAnswer(int status, const std::string& body) {
    json answer = json::parse(body, nullptr, false);
    if (!answer.is_object()) answer = json();  // unusable: as if absent

    if (status != 200) {
        if (answer.is_object()) {
            auto message = answer.find("message");
            if (message != answer.end() && message->is_string()) throw FillError(message->get<std::string>());
        }
        throw FillError(fallbackMessage);
    }

    Mapping mapping;
    if (!answer.is_object()) return mapping;
    if (auto values = answer.find("values"); values != answer.end() && values->is_object()) {
        std::map<std::string, std::string> read;
        bool allStrings = true;
        for (const auto& [id, value] : values->items()) {
            if (!value.is_string()) {
                allStrings = false;
                break;
            }
            read[id] = value.get<std::string>();
        }
        if (allStrings) mapping.values = std::move(read);
    }
    if (auto unfilled = answer.find("unfilled"); unfilled != answer.end() && unfilled->is_array()) {
        std::vector<std::string> read;
        bool allStrings = true;
        for (const auto& entry : *unfilled) {
            if (!entry.is_string()) {
                allStrings = false;
                break;
            }
            read.push_back(entry.get<std::string>());
        }
        if (allStrings) mapping.unfilled = std::move(read);
    }
    return mapping;
}

Task<FillService::Mapping> FillService::send(std::map<std::string, std::string> source,
                                             std::vector<FormAccess::Field> fields) {
    // The token comes first: without one, nothing goes out.
    const std::string token = co_await session_->accessToken();

    platform::HttpClient::Request request;
    request.method = "POST";
    request.url = apiBase_ + "/api/v1/fill";
    request.headers = {{"Authorization", "Bearer " + token}, {"Content-Type", "application/json"}};
    request.body = requestBody(source, fields);
    request.timeoutSeconds = timeoutSeconds_;

    // Named rather than a temporary inside the co_await: the compiler's handling
    // of temporaries captured there is not reliable.
    auto exchange = [http = http_, request = std::move(request)] { return http->send(request); };
    const auto response = co_await onBackground(*loop_, std::move(exchange));
    co_return readAnswer(response.status, response.body);
}

}  // namespace vell::fill

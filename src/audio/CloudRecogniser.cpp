#include "audio/CloudRecogniser.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <utility>

#include "platform/Async.h"

namespace vell::audio {
namespace {

std::string readWholeFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw Error("The recording could not be read (" + std::string(std::strerror(errno)) + ").");
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw Error("The recording could not be read.");
    return bytes;
}

// The string under `key` of a JSON object body; empty for anything else.
std::string stringField(const std::string& body, const char* key) {
    const auto json = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) return {};
    const auto found = json.find(key);
    if (found == json.end() || !found->is_string()) return {};
    return found->get<std::string>();
}

// The background step: read the file, send it, and turn a transport failure
// into `unreachable`. Built outside the coroutine so the work owns plain copies.
std::function<platform::HttpClient::Response()> upload(platform::HttpClient& http,
                                                       platform::HttpClient::Request request,
                                                       std::filesystem::path audio) {
    return [&http, request = std::move(request), audio = std::move(audio)]() mutable {
        request.body = readWholeFile(audio);
        try {
            return http.send(request);
        } catch (const platform::HttpClient::TransportError&) {
            throw RecogniserError::unreachable();
        }
    };
}

}  // namespace

CloudRecogniser::CloudRecogniser(session::Session& session, platform::HttpClient& http, platform::MainLoop& loop,
                                 std::string apiBase, double idleTimeoutSeconds)
    : session_(session), http_(http), loop_(loop), apiBase_(std::move(apiBase)), idleTimeout_(idleTimeoutSeconds) {}

Task<std::string> CloudRecogniser::transcribe(std::filesystem::path audio, std::string mimeType) {
    const std::string token = co_await session_.accessToken();

    const auto response = co_await onBackground(loop_, upload(http_, request(token, mimeType), audio));
    co_return interpret(response);
}

platform::HttpClient::Request CloudRecogniser::request(const std::string& token, const std::string& mimeType) const {
    platform::HttpClient::Request request;
    request.method = "POST";
    request.url = apiBase_ + "/api/v1/dictate";
    request.headers = {{"Authorization", "Bearer " + token}, {"Content-Type", mimeType}};
    request.timeoutSeconds = idleTimeout_;
    return request;
}

std::string CloudRecogniser::interpret(const platform::HttpClient::Response& response) {
    if (response.status == 413) throw RecogniserError::tooLong();
    if (response.status != 200) throw RecogniserError::server(response.status, stringField(response.body, "message"));
    return stringField(response.body, "text");
}

}  // namespace vell::audio

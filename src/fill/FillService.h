#pragma once
// Client of the service's field-mapping endpoint, POST apiBase + "/api/v1/fill".

#include <map>
#include <string>
#include <vector>

#include "fill/FieldMapping.h"
#include "platform/Error.h"
#include "platform/Task.h"

namespace vell::platform {
class HttpClient;
class MainLoop;
}  // namespace vell::platform

namespace vell::session {
class Session;
}

namespace vell::fill {

class FillService : public FieldMapping {
public:
    class FillError : public Error {
    public:
        explicit FillError(const std::string& message) : Error(message) {}
    };

    // `apiBase` is the service's base address; paths are appended as text.
    // The request runs on a background thread of `loop` through `http`.
    FillService(session::Session& session, platform::HttpClient& http, platform::MainLoop& loop, std::string apiBase,
                double timeoutSeconds = 30);
    // Sends the source ({"transcript": …} or {"noteId": …}) with the fields'
    // descriptions; throws SessionError, FillError or a transport Error.
    Task<Mapping> send(std::map<std::string, std::string> source, std::vector<FormAccess::Field> fields) override;

    // The wire format, exposed for tests: the compact JSON request body, and
    // the answer read from a status and body (throws FillError).
    static std::string requestBody(const std::map<std::string, std::string>& source,
                                   const std::vector<FormAccess::Field>& fields);
    static Mapping readAnswer(int status, const std::string& body);

private:
    session::Session* session_ = nullptr;
    platform::HttpClient* http_ = nullptr;
    platform::MainLoop* loop_ = nullptr;
    std::string apiBase_;
    double timeoutSeconds_ = 30;
};

}  // namespace vell::fill

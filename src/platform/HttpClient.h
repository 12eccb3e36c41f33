#pragma once
// A blocking HTTP client for the service calls. Call it from a background
// thread (onBackground); it never touches the main loop.

#include <string>
#include <utility>
#include <vector>

#include "platform/Error.h"

namespace vell::platform {

class HttpClient {
public:
    struct Request {
        std::string method = "POST";
        std::string url;
        std::vector<std::pair<std::string, std::string>> headers;  // exactly these, in order
        std::string body;
        double timeoutSeconds = 30;  // idle time-out: no byte moved for this long
    };

    struct Response {
        int status = 0;
        std::string body;
    };

    // No answer: connection refused, host not found, time-out, connection lost, TLS.
    class TransportError : public Error {
    public:
        using Error::Error;
    };

    virtual ~HttpClient() = default;
    // Sends the request and waits for the whole answer; throws TransportError.
    virtual Response send(const Request& request) = 0;
};

}  // namespace vell::platform

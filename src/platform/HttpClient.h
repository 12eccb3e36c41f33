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

    // No answer: connection refused, host not found, time-out, connection lost,
    // TLS, or an address that is not http or https. The person reads one
    // sentence; the library's own words stay in detail() for logs.
    class TransportError : public Error {
    public:
        explicit TransportError(std::string detail)
            : Error("Could not reach Vell. Check your connection."), detail_(std::move(detail)) {}
        const std::string& detail() const { return detail_; }

    private:
        std::string detail_;
    };

    virtual ~HttpClient() = default;
    // Sends the request and waits for the whole answer; throws TransportError.
    virtual Response send(const Request& request) = 0;
};

}  // namespace vell::platform

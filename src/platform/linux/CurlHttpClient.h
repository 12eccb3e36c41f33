#pragma once
// HttpClient over libcurl. Sends only the headers it is given (curl's own
// "Accept" and "Expect" are suppressed) and treats an idle connection as a
// time-out.

#include "platform/HttpClient.h"

namespace vell::platform {

class CurlHttpClient final : public HttpClient {
public:
    CurlHttpClient();
    Response send(const Request& request) override;
};

}  // namespace vell::platform

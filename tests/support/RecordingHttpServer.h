#pragma once
// An HTTP server on 127.0.0.1 (a free port) for client tests: it records every
// request it receives and answers with whatever the test scripted.

#include <httplib.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vell::test {

class RecordingHttpServer {
public:
    struct Received {
        std::string method;
        std::string path;
        httplib::Headers headers;
        std::string body;
    };
    struct Answer {
        int status = 200;
        std::string body;
        std::string contentType = "application/json";
        double delaySeconds = 0;  // wait this long before answering
    };

    RecordingHttpServer();
    ~RecordingHttpServer();

    // Every request to any path gets this answer from now on.
    void answer(Answer answer);
    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }
    std::vector<Received> received() const;

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    Answer answer_;
    std::vector<Received> received_;
};

// A port on 127.0.0.1 that nothing listens on.
int closedLoopbackPort();

}  // namespace vell::test

#pragma once
// An HTTP server on a loopback address (a free port) for client and web-view
// tests: it serves the pages a test gives it by path, answers every other
// request with what the test scripted (404 until then), and records each
// request it receives.

#include <httplib.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vell::test {

class LoopbackServer {
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

    // Any address of 127.0.0.0/8 serves as a separate host.
    explicit LoopbackServer(std::string address = "127.0.0.1");
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Every request to a path without a page gets this answer from now on.
    void answer(Answer answer);
    // GET `path` answers this page, never cached.
    void page(const std::string& path, std::string html);

    std::string baseURL() const { return "http://" + address_ + ":" + std::to_string(port_); }
    int port() const { return port_; }
    std::vector<Received> received() const;

private:
    std::string address_;
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    Answer answer_{404, "", "text/plain"};
    std::map<std::string, std::string> pages_;
    std::vector<Received> received_;
};

// A port on 127.0.0.1 that nothing listens on.
int closedLoopbackPort();

}  // namespace vell::test

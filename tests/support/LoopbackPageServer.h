#pragma once
// A web server on a loopback address that serves the pages a test gives it,
// by path, and records each request's path and headers. Unknown paths get 404.

#include <httplib.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vell::test {

class LoopbackPageServer {
public:
    struct Request {
        std::string path;
        httplib::Headers headers;
    };

    // Any address of 127.0.0.0/8 serves as a separate host.
    explicit LoopbackPageServer(std::string address = "127.0.0.1") : address_(std::move(address)) {
        server_.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
            std::string body;
            bool found = false;
            {
                std::lock_guard lock(mutex_);
                requests_.push_back({request.path, request.headers});
                if (auto it = pages_.find(request.path); it != pages_.end()) {
                    body = it->second;
                    found = true;
                }
            }
            response.status = found ? 200 : 404;
            response.set_header("Cache-Control", "no-store");
            response.set_content(body, "text/html; charset=utf-8");
        });
        server_.set_keep_alive_timeout(1);  // so stopping never waits long for an idle connection
        port_ = server_.bind_to_any_port(address_.c_str());
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~LoopbackPageServer() {
        server_.stop();
        if (thread_.joinable()) thread_.join();
    }
    LoopbackPageServer(const LoopbackPageServer&) = delete;
    LoopbackPageServer& operator=(const LoopbackPageServer&) = delete;

    void page(const std::string& path, std::string html) {
        std::lock_guard lock(mutex_);
        pages_[path] = std::move(html);
    }
    std::string baseURL() const { return "http://" + address_ + ":" + std::to_string(port_); }
    std::vector<Request> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    std::string address_;
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> pages_;
    std::vector<Request> requests_;
};

}  // namespace vell::test

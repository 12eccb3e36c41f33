#include "LoopbackServer.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace vell::test {

LoopbackServer::LoopbackServer(std::string address) : address_(std::move(address)) {
    auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        Answer answer;
        {
            std::lock_guard lock(mutex_);
            received_.push_back({request.method, request.path, request.headers, request.body});
            auto page = pages_.find(request.path);
            answer = page == pages_.end() ? answer_ : Answer{200, page->second, "text/html; charset=utf-8"};
        }
        if (answer.delaySeconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(answer.delaySeconds));
        response.status = answer.status;
        response.set_header("Cache-Control", "no-store");
        response.set_content(answer.body, answer.contentType.c_str());
    };
    server_.Post(".*", handler);
    server_.Get(".*", handler);
    server_.Put(".*", handler);
    server_.set_keep_alive_timeout(1);  // so stopping never waits long for an idle connection
    port_ = server_.bind_to_any_port(address_.c_str());
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

LoopbackServer::~LoopbackServer() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
}

void LoopbackServer::answer(Answer answer) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
}

void LoopbackServer::page(const std::string& path, std::string html) {
    std::lock_guard lock(mutex_);
    pages_[path] = std::move(html);
}

std::vector<LoopbackServer::Received> LoopbackServer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

int closedLoopbackPort() {
    // Bind a socket to port 0, read the port, close it: nothing listens there now.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace vell::test

#include "RecordingHttpServer.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace vell::test {

RecordingHttpServer::RecordingHttpServer() {
    auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        Answer answer;
        {
            std::lock_guard lock(mutex_);
            received_.push_back({request.method, request.path, request.headers, request.body});
            answer = answer_;
        }
        if (answer.delaySeconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(answer.delaySeconds));
        response.status = answer.status;
        response.set_content(answer.body, answer.contentType.c_str());
    };
    server_.Post(".*", handler);
    server_.Get(".*", handler);
    server_.Put(".*", handler);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

RecordingHttpServer::~RecordingHttpServer() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
}

void RecordingHttpServer::answer(Answer answer) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
}

std::vector<RecordingHttpServer::Received> RecordingHttpServer::received() const {
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

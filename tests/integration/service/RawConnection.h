#pragma once
// A bare TCP connection to the service on loopback, for clients that behave
// badly on purpose: partial heads, dripping bytes, oversized headers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>

namespace vell::test {

class RawConnection {
public:
    explicit RawConnection(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawConnection() { ::close(fd_); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return connected_; }

    // False once the server has stopped taking bytes.
    bool send(std::string_view data) {
        while (!data.empty()) {
            auto sent = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
            if (sent <= 0) return false;
            data.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }

    struct Received {
        std::string bytes;
        bool closed = false;  // by the server, before the wait ran out
    };
    // What the server sends within `seconds`, stopping early when it closes.
    Received receive(double seconds) {
        Received received;
        auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            pollfd waiting{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) return received;
            char buffer[4096];
            auto got = ::recv(fd_, buffer, sizeof buffer, 0);
            if (got <= 0) {
                received.closed = true;
                return received;
            }
            received.bytes.append(buffer, static_cast<std::size_t>(got));
        }
    }

    // "HTTP/1.1 413 …" → 413; 0 when nothing came.
    static int status(const std::string& bytes) {
        return bytes.size() > 12 && bytes.rfind("HTTP/1.", 0) == 0 ? std::stoi(bytes.substr(9, 3)) : 0;
    }

private:
    int fd_;
    bool connected_ = false;
};

}  // namespace vell::test

// The service under load on loopback: requests per second and latency of a
// 9-field fill over kept-alive and over fresh connections, the same while
// hundreds of slow and idle clients hang on, and the time of the longest
// fill texts. Bounded in count and time; prints one table.
//   service_load_bench [REQUESTS]
#include "BenchLine.h"
#include "service/Service.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

// A minimal HTTP/1.1 client: one write per request, no Nagle, so the figures
// are the server's and not the client's.
class Connection {
public:
    explicit Connection(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("connect");
    }
    ~Connection() { ::close(fd_); }
    bool send(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // The status of one whole answer; 0 when the connection failed.
    int answer() {
        std::string in;
        std::size_t headEnd = std::string::npos, length = 0;
        char buffer[65536];
        while (headEnd == std::string::npos || in.size() < headEnd + 4 + length) {
            auto got = ::recv(fd_, buffer, sizeof buffer, 0);
            if (got <= 0) return 0;
            in.append(buffer, static_cast<std::size_t>(got));
            if (headEnd == std::string::npos && (headEnd = in.find("\r\n\r\n")) != std::string::npos) {
                auto at = in.find("Content-Length: ");
                length = at < headEnd ? std::stoul(in.substr(at + 16)) : 0;
            }
        }
        return std::stoi(in.substr(9, 3));
    }

private:
    int fd_;
};

struct Figures {
    double perSecond, p50, p99, max;  // latencies in ms
};

Figures measure(int requests, const std::function<int()>& one) {
    std::vector<double> latencies;
    auto start = Clock::now();
    for (int i = 0; i < requests; ++i) {
        auto before = Clock::now();
        if (one() != 200) throw std::runtime_error("a request failed");
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - before).count());
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(latencies.begin(), latencies.end());
    return {requests / seconds, latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100],
            latencies.back()};
}

// The table's name for a row: "fill, kept-alive" is service.load.fill_kept-alive.
std::string figureName(std::string what) {
    std::replace(what.begin(), what.end(), ' ', '_');
    std::erase(what, ',');
    return "service.load." + what;
}

void print(const char* what, const Figures& f) {
    std::fprintf(stderr, "%-52s %7.0f req/s  p50 %6.2f ms  p99 %6.2f ms  max %6.1f ms\n", what, f.perSecond, f.p50,
                 f.p99, f.max);
    vell::bench::printLine(figureName(what) + ".p50", {f.p50}, "ms");
}

}  // namespace

int main(int argc, char** argv) {
    int requests = argc > 1 ? std::atoi(argv[1]) : 2000;
    auto folder = std::filesystem::temp_directory_path() / ("vell-load-bench-" + std::to_string(getpid()));
    vell::service::Service::Options options;
    options.port = 0;
    options.dataDir = folder;
    options.logRequests = false;
    auto service = std::make_unique<vell::service::Service>(options);
    auto credentials = *service->createFirstAccount();
    auto token = service->accounts().signIn(credentials.email, credentials.password).accessToken;
    if (!service->bind()) return 1;
    service->start();
    int port = service->port();
    std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";

    json form = json::array();
    for (auto label : {"Full name", "Email address", "Phone number", "Current employer", "Job title",
                       "LinkedIn or portfolio URL", "Salary expectations", "Start date", "Cover letter"})
        form.push_back({{"id", "f" + std::to_string(form.size())}, {"type", "text"}, {"label", label}});
    auto fill = [&](const std::string& transcript) {
        std::string body = json{{"transcript", transcript}, {"fields", form}}.dump();
        return "POST /api/v1/fill HTTP/1.1\r\n" + host + "Authorization: Bearer " + token +
               "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
               body;
    };
    std::string nineFields = fill(
        "my name is alan turing my email address is alan dot turing at example dot org phone number plus four four "
        "two zero seven nine four six zero nine five eight i work at bletchley park and my job title is "
        "cryptanalyst cover letter i would love to build thinking machines with you");
    std::string page = "GET /app HTTP/1.1\r\n" + host + "\r\n";

    auto keptAlive = [&](const std::string& request) {
        auto connection = std::make_shared<Connection>(port);
        return [connection, &request] { return connection->send(request) ? connection->answer() : 0; };
    };
    auto fresh = [&](const std::string& request) {
        return [&request, port] {
            Connection connection(port);
            return connection.send(request) ? connection.answer() : 0;
        };
    };

    std::printf("vell-service load, %d requests a row, loopback, %u cores\n", requests,
                std::thread::hardware_concurrency());
    print("9-field fill, one kept-alive connection", measure(requests, keptAlive(nineFields)));
    print("9-field fill, a fresh connection each", measure(requests, fresh(nineFields)));
    print("GET /app, one kept-alive connection", measure(requests, keptAlive(page)));

    // Four clients at once, each on its own connection.
    {
        std::vector<std::thread> clients;
        std::vector<Figures> figures(4);
        auto start = Clock::now();
        for (int c = 0; c < 4; ++c)
            clients.emplace_back([&, c] { figures[c] = measure(requests / 4, keptAlive(nineFields)); });
        for (auto& client : clients) client.join();
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        print("9-field fill, 4 concurrent kept-alive clients",
              {(requests / 4 * 4) / seconds, figures[0].p50,
               std::max({figures[0].p99, figures[1].p99, figures[2].p99, figures[3].p99}), 0});
    }

    // 256 clients dripping a head one byte at a time, 256 more idle.
    {
        std::vector<std::unique_ptr<Connection>> slow;
        for (int i = 0; i < 512; ++i) {
            slow.push_back(std::make_unique<Connection>(port));
            if (i < 256) slow.back()->send("POST /api/v1/fill HTTP/1.1\r\n" + host + "X-Slow: ");
        }
        std::atomic<bool> dripping{true};
        std::thread drip([&] {
            while (dripping)
                for (int i = 0; i < 256 && dripping; ++i) {
                    slow[static_cast<std::size_t>(i)]->send("a");
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
        });
        print("9-field fill beside 256 dripping + 256 idle clients", measure(requests / 4, keptAlive(nineFields)));
        print("GET /app beside 256 dripping + 256 idle clients", measure(requests / 4, fresh(page)));
        dripping = false;
        drip.join();
    }

    // The longest texts a fill takes, and just over.
    for (auto [what, length] : {std::pair{"fill of 30,000 characters (digits)", 30'000},
                                std::pair{"fill of 50,000 characters (prose)", 50'000}}) {
        std::string text;
        while (static_cast<int>(text.size()) < length)
            text += length == 30'000 ? "5555555555" : "well-known state-of-the-art ";
        text.resize(static_cast<std::size_t>(length));
        std::string request = fill(text);
        print(what, measure(20, keptAlive(request)));
    }
    {
        std::string request = fill(std::string(100'000, '5'));
        auto connection = std::make_shared<Connection>(port);
        auto before = Clock::now();
        connection->send(request);
        int status = connection->answer();
        std::printf("%-52s %d in %.2f ms\n", "fill of 100,000 characters", status,
                    std::chrono::duration<double, std::milli>(Clock::now() - before).count());
    }

    // A wrong password for a known address and any password for an unknown
    // one should cost the same, so sign-in does not tell which addresses exist.
    for (auto [what, email] : {std::pair{"sign-in, known address, wrong password", credentials.email},
                               std::pair{"sign-in, unknown address", std::string("nobody@vell.local")}}) {
        std::string body = json{{"email", email}, {"password", "not the password"}}.dump();
        std::string request = "POST /api/v1/auth/signin HTTP/1.1\r\n" + host +
                              "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\n\r\n" + body;
        auto connection = std::make_shared<Connection>(port);
        std::vector<double> times;
        for (int i = 0; i < 4; ++i) {
            auto before = Clock::now();
            connection->send(request);
            if (connection->answer() != 401) return 1;
            times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - before).count());
        }
        std::sort(times.begin(), times.end());
        std::printf("%-52s median %6.1f ms\n", what, (times[1] + times[2]) / 2);
    }

    service.reset();
    std::filesystem::remove_all(folder);
    return 0;
}

#pragma once
// The HTTP/1.1 server of vell-service, on libmicrohttpd: one epoll thread
// reads and writes every connection, so slow or idle clients cost a little
// memory and no thread. Work that takes time runs on a WorkQueue of the
// route's choosing while its connection waits suspended.
//
// Limits that keep one client from hurting the others:
// - request line and headers: a fixed memory budget per connection (431 above it);
// - body: a size per route, refused with 413 as soon as a larger one is declared;
// - time: a request's head and body must arrive within a deadline, and a
//   silent connection is closed after a short idle time;
// - connections: a fixed maximum; further ones wait in the listen backlog.
//
// FIXME: refusals libmicrohttpd makes itself (431 for an oversized head, 400
// for a malformed one) carry its own HTML body rather than a JSON "message".
// FIXME: a body sent without a declared length that outgrows its route's
// limit closes the connection instead of answering 413.

#include "service/WorkQueue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;

namespace vell::service {

class HttpServer {
public:
    struct Header {
        std::string name, value;
    };
    struct Request {
        std::string method, path, body, remoteAddress;
        std::vector<Header> headers;
        std::string param;                                // what follows a prefix route's path
        std::string header(std::string_view name) const;  // "" when absent; names ignore case
        bool has(std::string_view name) const;
    };
    struct Response {
        int status = 200;
        std::string body;
        std::string contentType = "application/json";
        std::vector<Header> headers;
    };
    using Handler = std::function<Response(const Request&)>;
    // Looks at a request before its body is read; an answer ends it there.
    using Check = std::function<std::optional<Response>(const Request&)>;

    struct Route {
        std::string method, path;
        bool prefix = false;  // path ends in '/'; the rest lands in Request::param
        std::size_t maxBody = 0;
        WorkQueue* queue = nullptr;  // null: answered on the I/O thread (cheap work only)
        Handler handler;
        Check admit;                       // optional
        Response busy;                     // the answer while the queue is full
        std::optional<Response> tooLarge;  // a body over maxBody; the server's own 413 when absent
    };
    struct Options {
        std::string host = "127.0.0.1";
        int port = 0;  // 0: any free port
        unsigned maxConnections = 1000;
        unsigned idleSeconds = 10;
        double requestSeconds = 20;           // head and body of one request
        std::size_t headerBytes = 32 * 1024;  // request line and headers
    };
    struct Hooks {
        Check screen;                                           // every request, before routing
        std::function<Response(int status)> refusal;            // the server's own 4xx answers
        std::function<void(const Request&, Response&)> finish;  // every answer, just before it is sent
    };

    HttpServer(Options options, std::vector<Route> routes, Hooks hooks);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Opens the listening socket; false when the address is taken.
    bool bind();
    int port() const { return port_; }
    // Serves on a thread of the server's own until stop().
    bool start();
    void stop();

    // The whole path of one request without a network, on the calling
    // thread: screen, route, admission, limits, handler, finish.
    Response handle(Request request) const;

private:
    struct Exchange;
    struct Peer {
        int fd = -1;
        std::chrono::steady_clock::time_point since;
        bool busy = false;  // a handler has the request
        bool cut = false;
    };

    const Route* route(const Request& request, int& refusal) const;
    std::optional<Response> refusalBeforeBody(Request& request, const Route*& route) const;
    Response run(const Route& route, const Request& request) const;
    void send(MHD_Connection* connection, Exchange& exchange, Response response, bool closing);
    void sweep();
    void setBusy(MHD_Connection* connection, bool busy);

    friend struct Callbacks;  // libmicrohttpd's entry points

    Options options_;
    std::vector<Route> routes_;
    Hooks hooks_;
    int listenFd_ = -1;
    int port_ = 0;
    MHD_Daemon* daemon_ = nullptr;
    std::atomic<int> dispatched_{0};  // requests on a queue, their connections suspended

    std::mutex peersMutex_;
    std::map<MHD_Connection*, Peer> peers_;
    std::mutex sweepMutex_;
    std::condition_variable sweepWake_;
    bool sweeping_ = false;
    std::thread sweeper_;
};

}  // namespace vell::service

#include "service/HttpServer.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstdio>

namespace vell::service {

namespace {

using SteadyClock = std::chrono::steady_clock;

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string addressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address && address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    else if (address && address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return text;
}

}  // namespace

std::string HttpServer::Request::header(std::string_view name) const {
    for (auto& header : headers)
        if (sameName(header.name, name)) return header.value;
    return {};
}

bool HttpServer::Request::has(std::string_view name) const {
    for (auto& header : headers)
        if (sameName(header.name, name)) return true;
    return false;
}

// One request on its way through a connection.
struct HttpServer::Exchange {
    Request request;
    const Route* route = nullptr;
    bool answered = false;
    bool dispatched = false;
    std::optional<Response> result;  // from the route's queue
};

// libmicrohttpd's entry points, all on the I/O thread.
struct Callbacks {
    using Exchange = HttpServer::Exchange;

    static MHD_Result request(void* self, MHD_Connection* connection, const char* url, const char* method, const char*,
                              const char* data, std::size_t* size, void** context) {
        auto& server = *static_cast<HttpServer*>(self);
        auto* exchange = static_cast<Exchange*>(*context);
        if (!exchange) {  // the head has arrived
            exchange = new Exchange;
            *context = exchange;
            auto& request = exchange->request;
            request.method = method;
            request.path = url;
            MHD_get_connection_values(
                connection, MHD_HEADER_KIND,
                [](void* headers, MHD_ValueKind, const char* name, const char* value) {
                    static_cast<std::vector<HttpServer::Header>*>(headers)->push_back({name, value ? value : ""});
                    return MHD_YES;
                },
                &request.headers);
            if (auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS))
                request.remoteAddress = addressText(info->client_addr);
            if (auto early = server.refusalBeforeBody(request, exchange->route))
                server.send(connection, *exchange, std::move(*early), true);
            return MHD_YES;
        }
        if (exchange->answered) {  // refused early: whatever still arrives is dropped
            *size = 0;
            return MHD_YES;
        }
        if (*size > 0) {
            // A body without a declared length that outgrows the route's limit ends the connection.
            if (exchange->request.body.size() + *size > exchange->route->maxBody) return MHD_NO;
            exchange->request.body.append(data, *size);
            *size = 0;
            return MHD_YES;
        }
        if (exchange->result) {  // back from the queue
            server.send(connection, *exchange, std::move(*exchange->result), false);
            return MHD_YES;
        }
        if (exchange->dispatched) return MHD_YES;

        const auto& route = *exchange->route;
        server.setBusy(connection, true);
        if (!route.queue) {
            server.send(connection, *exchange, server.run(route, exchange->request), false);
            return MHD_YES;
        }
        exchange->dispatched = true;
        ++server.dispatched_;
        MHD_suspend_connection(connection);
        bool accepted = route.queue->submit([&server, connection, exchange] {
            exchange->result = server.run(*exchange->route, exchange->request);
            MHD_resume_connection(connection);
            --server.dispatched_;
        });
        if (!accepted) {
            exchange->result = route.busy;
            MHD_resume_connection(connection);
            --server.dispatched_;
        }
        return MHD_YES;
    }

    static void completed(void* self, MHD_Connection* connection, void** context, MHD_RequestTerminationCode) {
        delete static_cast<Exchange*>(*context);
        *context = nullptr;
        static_cast<HttpServer*>(self)->setBusy(connection, false);
    }

    static void connection(void* self, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code) {
        auto& server = *static_cast<HttpServer*>(self);
        std::lock_guard lock(server.peersMutex_);
        if (code != MHD_CONNECTION_NOTIFY_STARTED) {
            server.peers_.erase(connection);
            return;
        }
        auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (!info) return;
        // Small answers go out at once rather than after the peer's delayed acknowledgement.
        int one = 1;
        setsockopt(info->connect_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        server.peers_[connection] = {info->connect_fd, SteadyClock::now(), false, false};
    }
};

HttpServer::HttpServer(Options options, std::vector<Route> routes, Hooks hooks)
    : options_(std::move(options)), routes_(std::move(routes)), hooks_(std::move(hooks)) {}

HttpServer::~HttpServer() {
    stop();
    if (listenFd_ >= 0) ::close(listenFd_);
}

bool HttpServer::bind() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(options_.host.c_str(), std::to_string(options_.port).c_str(), &hints, &found) != 0) return false;
    for (auto* address = found; address && listenFd_ < 0; address = address->ai_next) {
        int fd = ::socket(address->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, address->ai_addr, address->ai_addrlen) == 0 && ::listen(fd, 256) == 0)
            listenFd_ = fd;
        else
            ::close(fd);
    }
    freeaddrinfo(found);
    if (listenFd_ < 0) return false;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return true;
}

bool HttpServer::start() {
    if (listenFd_ < 0 || daemon_) return false;
    daemon_ = MHD_start_daemon(MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr,
                               &Callbacks::request, this, MHD_OPTION_LISTEN_SOCKET, listenFd_,
                               MHD_OPTION_CONNECTION_LIMIT, options_.maxConnections, MHD_OPTION_CONNECTION_TIMEOUT,
                               options_.idleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, options_.headerBytes,
                               MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::completed, this, MHD_OPTION_NOTIFY_CONNECTION,
                               &Callbacks::connection, this, MHD_OPTION_END);
    if (!daemon_) return false;
    listenFd_ = -1;  // the daemon owns it now
    sweeping_ = true;
    sweeper_ = std::thread([this] { sweep(); });
    return true;
}

void HttpServer::stop() {
    if (!daemon_) return;
    // No new connections; the requests already on a queue finish and resume
    // their connections, which the daemon must not be stopped without.
    if (MHD_socket fd = MHD_quiesce_daemon(daemon_); fd != MHD_INVALID_SOCKET) ::close(fd);
    while (dispatched_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
    {
        std::lock_guard lock(sweepMutex_);
        sweeping_ = false;
    }
    sweepWake_.notify_all();
    sweeper_.join();
}

// A request whose head and body take longer than the deadline is cut off,
// however steadily it drips; the clock restarts after each answer.
void HttpServer::sweep() {
    std::unique_lock lock(sweepMutex_);
    while (sweeping_) {
        sweepWake_.wait_for(lock, std::chrono::milliseconds(250));
        auto startedBefore = SteadyClock::now() - std::chrono::duration_cast<SteadyClock::duration>(
                                                      std::chrono::duration<double>(options_.requestSeconds));
        std::lock_guard peers(peersMutex_);
        for (auto& [connection, peer] : peers_)
            if (!peer.busy && !peer.cut && peer.since < startedBefore) {
                ::shutdown(peer.fd, SHUT_RDWR);
                peer.cut = true;
            }
    }
}

void HttpServer::setBusy(MHD_Connection* connection, bool busy) {
    std::lock_guard lock(peersMutex_);
    auto it = peers_.find(connection);
    if (it == peers_.end()) return;
    it->second.busy = busy;
    if (!busy) it->second.since = SteadyClock::now();
}

const HttpServer::Route* HttpServer::route(const Request& request, int& refusal) const {
    std::string_view method = request.method == "HEAD" ? "GET" : std::string_view(request.method);
    bool pathKnown = false;
    for (auto& candidate : routes_) {
        bool matches = candidate.prefix ? request.path.size() > candidate.path.size() &&
                                              request.path.compare(0, candidate.path.size(), candidate.path) == 0
                                        : request.path == candidate.path;
        if (!matches) continue;
        pathKnown = true;
        if (candidate.method == method) return &candidate;
    }
    refusal = pathKnown ? 405 : 404;
    return nullptr;
}

std::optional<HttpServer::Response> HttpServer::refusalBeforeBody(Request& request, const Route*& found) const {
    if (hooks_.screen)
        if (auto answer = hooks_.screen(request)) return answer;
    int status = 0;
    found = route(request, status);
    if (!found) return hooks_.refusal(status);
    if (found->prefix) request.param = request.path.substr(found->path.size());
    if (found->admit)
        if (auto answer = found->admit(request)) return answer;
    if (request.has("Content-Length")) {
        std::string declared = request.header("Content-Length");
        unsigned long long length = 0;
        auto [end, error] = std::from_chars(declared.data(), declared.data() + declared.size(), length);
        if (error != std::errc() || end != declared.data() + declared.size()) return hooks_.refusal(400);
        if (length > found->maxBody) return found->tooLarge ? *found->tooLarge : hooks_.refusal(413);
    }
    return std::nullopt;
}

HttpServer::Response HttpServer::run(const Route& route, const Request& request) const {
    try {
        return route.handler(request);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vell-service: %s %s failed: %s\n", request.method.c_str(), request.path.c_str(),
                     e.what());
        return hooks_.refusal(500);
    }
}

void HttpServer::send(MHD_Connection* connection, Exchange& exchange, Response response, bool closing) {
    if (hooks_.finish) hooks_.finish(exchange.request, response);
    auto* answer = MHD_create_response_from_buffer(response.body.size(), response.body.data(), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(answer, "Content-Type", response.contentType.c_str());
    for (auto& header : response.headers) MHD_add_response_header(answer, header.name.c_str(), header.value.c_str());
    if (closing) MHD_add_response_header(answer, "Connection", "close");
    MHD_queue_response(connection, static_cast<unsigned>(response.status), answer);
    MHD_destroy_response(answer);
    exchange.answered = true;
}

HttpServer::Response HttpServer::handle(Request request) const {
    const Route* found = nullptr;
    Response response;
    if (auto early = refusalBeforeBody(request, found))
        response = std::move(*early);
    else if (request.body.size() > found->maxBody)
        response = found->tooLarge ? *found->tooLarge : hooks_.refusal(413);
    else
        response = run(*found, request);
    if (hooks_.finish) hooks_.finish(request, response);
    return response;
}

}  // namespace vell::service

#pragma once
// vell-service: the HTTP server on loopback that answers the desktop program
// and hosts the web application. It owns the database, the accounts, the
// notes, the recogniser and the field mapper, and routes requests to them.
//
// Requests are screened before any work: the Host must name this service (a
// page on another site cannot reach it by rebinding a DNS name to loopback),
// state-changing requests from a browser must come from its own pages, and
// JSON routes take only JSON. Work runs on two bounded queues: recognition
// (slow, one decoder per core) and everything else, so dictations never hold
// up the page, the notes or a fill.

#include "service/Accounts.h"
#include "service/Database.h"
#include "service/FieldMapper.h"
#include "service/HttpServer.h"
#include "service/Notes.h"
#include "service/SignInThrottle.h"
#include "service/SpeechRecogniser.h"
#include "service/WorkQueue.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vell::service {

class Service {
public:
    struct Options {
        std::string host = "127.0.0.1";
        int port = 8765;                     // 0: any free port
        std::filesystem::path dataDir;       // holds vell-service.sqlite3
        std::vector<std::string> hostNames;  // names besides loopback this service answers to
        Accounts::Options sessions;
        SignInThrottle::Limits signIn;
        std::size_t maxAudioBytes = 10 * 1024 * 1024;
        double maxAudioSeconds = 300;
        std::size_t maxJsonBytes = 1024 * 1024;
        std::size_t maxFillText = 50'000;  // bytes of transcript or note a fill reads
        unsigned workers = 8;
        unsigned recognisers = std::max(1u, std::thread::hardware_concurrency());
        std::size_t recognitionBacklog = 2;  // waiting dictations beyond those recognised
        unsigned maxConnections = 1000;
        double requestSeconds = 20;  // for a request's head and body to arrive
        unsigned idleSeconds = 10;
        std::string modelDir = VELL_SPHINX_MODEL_DIR;
        Clock clock = systemClock;
        bool logRequests = true;  // one line per request on stderr
    };
    struct Credentials {
        std::string email, password;
    };

    explicit Service(Options options);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // On a fresh data folder, creates the first account and answers its
    // credentials (shown once); afterwards answers nothing.
    std::optional<Credentials> createFirstAccount(const std::string& email = "demo@vell.local");

    // Binds the listening socket; false when the port is taken.
    bool bind();
    int port() const { return server_.port(); }
    // Serves until stop(); run() blocks, start() serves on threads of its own.
    void run();
    void start();
    void stop();

    // One request through every rule and handler, without a network.
    HttpServer::Response handle(HttpServer::Request request) const { return server_.handle(std::move(request)); }

    // Loads the speech model ahead of the first dictation (about a second).
    void warmUp() { recogniser_.warmUp(); }

    Accounts& accounts() { return accounts_; }
    Notes& notes() { return notes_; }

private:
    using Request = HttpServer::Request;
    using Response = HttpServer::Response;

    std::vector<HttpServer::Route> routes();
    HttpServer::Hooks hooks();
    std::optional<Response> screen(const Request& request) const;
    std::optional<Accounts::Identity> identity(const Request& request);
    Response dictate(const Request& request);
    Response fill(const Request& request);
    Response signOut(const Request& request);
    Response saveNote(const Request& request);
    Response startSession(const Request& request, bool signUp);

    Options options_;
    Database db_;
    Accounts accounts_;
    Notes notes_;
    SignInThrottle throttle_;
    SpeechRecogniser recogniser_;
    FieldMapper mapper_;
    std::vector<std::string> hostNames_;
    WorkQueue recognition_;
    WorkQueue workers_;
    HttpServer server_;
    std::mutex stopMutex_;
    std::condition_variable stopped_;
    bool running_ = false;
};

}  // namespace vell::service

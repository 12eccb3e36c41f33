#pragma once
// vell-service: the HTTP server on loopback that answers the desktop program
// and hosts the web application. It owns the database, the accounts, the
// notes, the recogniser and the field mapper, and routes requests to them.

#include "Accounts.h"
#include "Database.h"
#include "FieldMapper.h"
#include "Notes.h"
#include "SpeechRecogniser.h"

#include <httplib.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace vell::service {

class Service {
public:
    struct Options {
        std::string host = "127.0.0.1";
        int port = 8765;                // 0: any free port
        std::filesystem::path dataDir;  // holds vell-service.sqlite3
        Accounts::Options sessions;
        std::size_t maxAudioBytes = 10 * 1024 * 1024;
        double maxAudioSeconds = 300;
        std::size_t maxJsonBytes = 1024 * 1024;
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
    int port() const { return port_; }
    // Serves until stop(); run() blocks, start() serves on a thread of its own.
    void run();
    void start();
    void stop();

    // Loads the speech model ahead of the first dictation (about a second).
    void warmUp() { recogniser_.warmUp(); }

    Accounts& accounts() { return accounts_; }
    Notes& notes() { return notes_; }

private:
    void routes();
    std::optional<Accounts::Identity> authorised(const httplib::Request& request, httplib::Response& response);
    void dictate(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader);
    void fill(const httplib::Request& request, httplib::Response& response);

    Options options_;
    Database db_;
    Accounts accounts_;
    Notes notes_;
    SpeechRecogniser recogniser_;
    FieldMapper mapper_;
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
};

}  // namespace vell::service

#pragma once
// A vell-service running in this process on a free loopback port, with its
// own data folder and a clock the test moves by hand.

#include "ScratchFolder.h"
#include "service/Service.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <memory>
#include <string>

namespace vell::test {

class RunningService {
public:
    explicit RunningService(service::Service::Options options = {}) {
        options.port = 0;
        options.dataDir = dataDir_.path();
        options.clock = [this] { return now.load(); };
        options.logRequests = false;
        service_ = std::make_unique<service::Service>(options);
        credentials = *service_->createFirstAccount();
        if (!service_->bind()) throw std::runtime_error("cannot bind a loopback port");
        service_->start();
    }

    service::Service& service() { return *service_; }
    int port() const { return service_->port(); }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port()); }
    httplib::Client client() const {
        httplib::Client client("127.0.0.1", port());
        client.set_read_timeout(60, 0);
        return client;
    }
    static httplib::Headers bearer(const std::string& token) { return {{"Authorization", "Bearer " + token}}; }

    // POSTs a JSON body, as the holder of `token` when one is given.
    httplib::Result post(const std::string& path, const std::string& body, const std::string& token = {}) const {
        return client().Post(path, token.empty() ? httplib::Headers{} : bearer(token), body, "application/json");
    }
    // Signs the first account in; the session as the service answers it.
    nlohmann::json signIn() const {
        auto body = nlohmann::json{{"email", credentials.email}, {"password", credentials.password}}.dump();
        return nlohmann::json::parse(post("/api/v1/auth/signin", body)->body);
    }
    std::string token() const { return signIn()["access_token"]; }

    // The answer's "message"; empty when there is none.
    static std::string messageOf(const httplib::Result& result) {
        auto body = result ? nlohmann::json::parse(result->body, nullptr, false) : nlohmann::json();
        return body.is_object() && body.contains("message") && body["message"].is_string()
                   ? body["message"].get<std::string>()
                   : std::string();
    }

    std::atomic<double> now{1'800'000'000};
    service::Service::Credentials credentials;

private:
    ScratchFolder dataDir_{"vell-service-test"};
    std::unique_ptr<service::Service> service_;
};

}  // namespace vell::test

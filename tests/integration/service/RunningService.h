#pragma once
// A vell-service running in this process on a free loopback port, with its
// own data folder and a clock the test moves by hand.

#include "ScratchFolder.h"
#include "Service.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdlib>
#include <filesystem>
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
    ~RunningService() { service_.reset(); }

    httplib::Client client() const {
        httplib::Client client("127.0.0.1", service_->port());
        client.set_read_timeout(60, 0);
        return client;
    }

    // Signs the first account in and answers the session as JSON.
    nlohmann::json signIn() const {
        auto result =
            client().Post("/api/v1/auth/signin",
                          nlohmann::json{{"email", credentials.email}, {"password", credentials.password}}.dump(),
                          "application/json");
        if (!result || result->status != 200) throw std::runtime_error("sign-in failed");
        return nlohmann::json::parse(result->body);
    }

    static httplib::Headers bearer(const std::string& token) { return {{"Authorization", "Bearer " + token}}; }

    service::Service& service() { return *service_; }
    const std::filesystem::path& dataDir() const { return dataDir_.path(); }
    std::atomic<double> now{1'800'000'000};
    service::Service::Credentials credentials;

private:
    ScratchFolder dataDir_{"vell-service-test"};
    std::unique_ptr<service::Service> service_;
};

}  // namespace vell::test

// Any JSON body to every JSON route, signed in, through the service's whole
// request path (screening, admission, limits, handler) without a network.
// The first byte picks the route, the rest is the body.
#include "FuzzInput.h"
#include "service/Service.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

using namespace vell::service;

namespace {

struct Fixture {
    Service service{[] {
        Service::Options options;  // no data folder: an in-memory database
        options.logRequests = false;
        options.workers = 1;
        options.recognisers = 1;
        return options;
    }()};
    std::string token, noteId;

    Fixture() {
        auto credentials = *service.createFirstAccount("fuzz@vell.local");
        token = service.accounts().signIn(credentials.email, credentials.password).accessToken;
        noteId = service.notes().create(1, "Seed", "Name: Ada", 0).id;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fixture;
    if (size == 0) return 0;
    const std::pair<const char*, std::string> routes[] = {
        {"POST", "/api/v1/fill"},         {"POST", "/api/v1/notes"},        {"PUT", "/api/v1/notes/" + fixture.noteId},
        {"POST", "/api/v1/auth/signin"},  {"POST", "/api/v1/auth/signup"},  {"POST", "/api/v1/auth/refresh"},
        {"POST", "/api/v1/auth/signout"}, {"POST", "/api/v1/auth/handoff"}, {"DELETE", "/api/v1/notes/x"},
    };
    auto& [method, path] = routes[data[0] % std::size(routes)];
    HttpServer::Request request;
    request.method = method;
    request.path = path;
    request.body.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    request.headers = {{"Content-Type", "application/json"}, {"Authorization", "Bearer " + fixture.token}};
    auto response = fixture.service.handle(request);
    vell::fuzz::require(response.status < 500, "outside input never makes the service fail");
    // Keep the database small and the session alive across runs. A new
    // session only once this one has ended: one per refresh would pile up
    // sessions, and each new one scans them all for expired ones.
    auto answer = nlohmann::json::parse(response.body, nullptr, false);
    if (response.status == 201 && answer.contains("id")) fixture.service.notes().remove(1, answer["id"]);
    if ((path == "/api/v1/auth/signout" || path == "/api/v1/auth/refresh") &&
        !fixture.service.accounts().authenticate(fixture.token))
        fixture.token = fixture.service.accounts().startSession(1).accessToken;
    return 0;
}

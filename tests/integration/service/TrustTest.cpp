// Who may do what, over real loopback connections: sessions that end when
// they should, sign-in guessing slowed down, requests from other sites and
// other names refused, notes that do not lose edits, and a data folder that
// is kept private or refused when unusable.
#include "RunningService.h"

#include <gtest/gtest.h>

#include <fstream>

using nlohmann::json;
using vell::test::RunningService;

namespace {

std::string messageOf(const httplib::Result& result) {
    json body = result ? json::parse(result->body, nullptr, false) : json();
    return body.is_object() && body.contains("message") ? body["message"].get<std::string>() : std::string();
}

httplib::Result refresh(httplib::Client& client, const json& session) {
    return client.Post("/api/v1/auth/refresh", json{{"refresh_token", session["refresh_token"]}}.dump(),
                       "application/json");
}

}  // namespace

// An idle tab's access token has expired; its sign-out must still end the
// session and the desktop's hand-off made from it.
TEST(ServiceTrust, SignOutWithAnExpiredAccessTokenEndsTheSessionAndItsHandOffs) {
    RunningService running;
    auto client = running.client();
    auto browser = running.signIn();
    auto handoff = client.Post("/api/v1/auth/handoff", RunningService::bearer(browser["access_token"]), "", "");
    ASSERT_EQ(handoff->status, 200);
    auto desktop = json::parse(handoff->body);
    auto elsewhere = running.signIn();

    running.now = running.now + 3601;
    auto out = client.Post("/api/v1/auth/signout", RunningService::bearer(browser["access_token"]),
                           json{{"refresh_token", browser["refresh_token"]}}.dump(), "application/json");
    EXPECT_EQ(out->status, 200);
    EXPECT_EQ(out->get_header_value("Cache-Control"), "no-store");
    EXPECT_EQ(refresh(client, browser)->status, 401);
    EXPECT_EQ(refresh(client, desktop)->status, 401);
    EXPECT_EQ(refresh(client, elsewhere)->status, 200);
}

TEST(ServiceTrust, SignInAttemptsAreLimitedPerAccountAndPerAddress) {
    vell::service::Service::Options options;
    options.signIn.perAccount = 3;
    options.signIn.perAddress = 6;
    RunningService running(options);
    auto client = running.client();
    auto attempt = [&](const std::string& email, const std::string& password) {
        return client.Post("/api/v1/auth/signin", json{{"email", email}, {"password", password}}.dump(),
                           "application/json");
    };
    for (int i = 0; i < 3; ++i) EXPECT_EQ(attempt(running.credentials.email, "guess")->status, 401);
    auto limited = attempt(running.credentials.email, running.credentials.password);  // even the right one
    EXPECT_EQ(limited->status, 429);
    EXPECT_EQ(messageOf(limited), "Too many sign-in attempts. Try again in 15 minutes.");
    EXPECT_EQ(limited->get_header_value("Retry-After"), "900");

    // Other accounts from the same address: limited once the address has tried too often.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(attempt("nobody" + std::to_string(i) + "@example.com", "x")->status, 401);
    EXPECT_EQ(attempt("someone@example.com", "x")->status, 429);

    running.now = running.now + 15 * 60;
    EXPECT_EQ(attempt(running.credentials.email, running.credentials.password)->status, 200);
}

// A page on another site, or one reaching loopback through a rebound DNS
// name, must not act on the service; the service's own page and the desktop
// program (which sends no Origin) must.
TEST(ServiceTrust, RequestsFromOtherSitesAndNamesAreRefused) {
    RunningService running;
    std::string self = "127.0.0.1:" + std::to_string(running.service().port());
    struct Row {
        const char* what;
        httplib::Headers headers;
        const char* type;
        int status;
    };
    const Row rows[] = {
        {"the service's own page", {{"Origin", "http://" + self}}, "application/json", 401},
        {"the page under localhost", {{"Origin", "http://localhost:" + self.substr(10)}}, "application/json", 401},
        {"the desktop program", {}, "application/json; charset=utf-8", 401},
        {"another site", {{"Origin", "http://evil.example"}}, "application/json", 403},
        {"another port", {{"Origin", "http://127.0.0.1:1"}}, "application/json", 403},
        {"a sandboxed frame", {{"Origin", "null"}}, "application/json", 403},
        {"a rebound name", {{"Host", "evil.example:" + self.substr(10)}}, "application/json", 421},
        {"a plain-text body", {}, "text/plain", 415},
        {"a form body", {}, "application/x-www-form-urlencoded", 415},
    };
    for (auto& row : rows) {
        auto result =
            running.client().Post("/api/v1/auth/signup", row.headers, R"({"email":"x@example.com"})", row.type);
        ASSERT_TRUE(result) << row.what;
        EXPECT_EQ(result->status, row.status) << row.what;
        EXPECT_FALSE(messageOf(result).empty()) << row.what;
    }
    auto page = running.client().Get("/app", {{"Host", "evil.example"}});
    EXPECT_EQ(page->status, 421);
}

TEST(ServiceTrust, NoteSavesKeepWhatTheyDoNotNameAndStaleSavesAreRefused) {
    RunningService running;
    auto client = running.client();
    auto auth = RunningService::bearer(running.signIn()["access_token"]);
    auto created = client.Post("/api/v1/notes", auth, R"({"title": "Me", "body": "Name: Ada"})", "application/json");
    auto note = json::parse(created->body);
    std::string path = "/api/v1/notes/" + note["id"].get<std::string>();

    auto titled = client.Put(path, auth, json{{"title", "About me"}, {"version", 1}}.dump(), "application/json");
    ASSERT_EQ(titled->status, 200);
    EXPECT_EQ(json::parse(titled->body)["body"], "Name: Ada");
    EXPECT_EQ(titled->get_header_value("ETag"), "\"2\"");

    // A second tab still on version 1, by body or by If-Match.
    auto stale = client.Put(path, auth, json{{"body", "Name: Grace"}, {"version", 1}}.dump(), "application/json");
    EXPECT_EQ(stale->status, 409);
    EXPECT_EQ(json::parse(stale->body)["note"]["title"], "About me");
    auto headers = auth;
    headers.emplace("If-Match", "\"1\"");
    EXPECT_EQ(client.Put(path, headers, R"({"body": "Name: Grace"})", "application/json")->status, 409);
    EXPECT_EQ(json::parse(client.Get("/api/v1/notes", auth)->body)["notes"][0]["body"], "Name: Ada");
}

TEST(ServiceTrust, EmailAddressesWithControlCharactersAreRefused) {
    RunningService running;
    for (auto email : {"ada@exa\x01mple.com", "ada\n@example.com", "ada@example.com\x7f"}) {
        auto result = running.client().Post(
            "/api/v1/auth/signup", json{{"email", email}, {"password", "correct horse"}}.dump(), "application/json");
        EXPECT_EQ(result->status, 401);
        EXPECT_EQ(messageOf(result), "Enter a valid e-mail address.");
    }
}

// A data folder left open to others is closed at start; a database that
// cannot be read stops the service with a reason instead of failing every call.
TEST(ServiceTrust, TheDataFolderIsMadePrivateAndADamagedDatabaseStopsTheStart) {
    namespace fs = std::filesystem;
    auto folder = fs::temp_directory_path() / ("vell-trust-" + std::to_string(getpid()));
    fs::remove_all(folder);
    vell::service::Service::Options options;
    options.dataDir = folder;
    options.logRequests = false;
    for (const char* start : {"a new folder", "a folder opened to everyone"}) {
        { vell::service::Service service(options); }
        EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all) << start;
        EXPECT_EQ(fs::status(folder / "vell-service.sqlite3").permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write)
            << start;
        fs::permissions(folder, fs::perms::all);
        fs::permissions(folder / "vell-service.sqlite3", fs::perms::all);
    }

    fs::remove(folder / "vell-service.sqlite3-wal");
    fs::remove(folder / "vell-service.sqlite3-shm");
    std::ofstream(folder / "vell-service.sqlite3", std::ios::trunc) << std::string(8192, 'x');
    try {
        vell::service::Service service(options);
        ADD_FAILURE() << "a damaged database was opened";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("cannot be used"), std::string::npos) << e.what();
    }
    fs::remove_all(folder);
}

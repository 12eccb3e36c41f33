// The service's HTTP interface over real loopback connections: what each
// refusal answers, dictation and fill; and who may do what: sessions that end
// when they should, sign-in guessing slowed down, requests from other sites
// and other names refused, notes that do not lose edits, and a data folder
// kept private or refused when unusable.
#include "AudioFixture.h"
#include "RunningService.h"

#include <gtest/gtest.h>

#include <fstream>

using nlohmann::json;
using vell::test::RunningService;
using vell::test::wavTone;

namespace {

int refreshStatus(const RunningService& running, const json& session) {
    return running.post("/api/v1/auth/refresh", json{{"refresh_token", session["refresh_token"]}}.dump())->status;
}

}  // namespace

// Each refusal has its status and a sentence in "message"; after them all a
// dictation within the limits is still recognised. A page on another site,
// or one reaching loopback through a rebound DNS name, must not act on the
// service; the service's own page and the desktop program (no Origin) may.
TEST(ServiceApi, RefusalsAnswerTheirStatusWithAMessage) {
    vell::service::Service::Options options;
    options.maxAudioBytes = 256 * 1024;
    options.maxAudioSeconds = 5;
    RunningService running(options);
    const httplib::Headers none, user{{"Authorization", "Bearer " + running.token()}};
    const std::string email = running.credentials.email, port = std::to_string(running.port());
    const std::string dictate = "/api/v1/dictate", fill = "/api/v1/fill", signUp = "/api/v1/auth/signup",
                      js = "application/json", someone = R"({"email": "x@example.com"})";
    struct Row {
        const char* what;
        std::string path;
        httplib::Headers headers;
        std::string body, type;
        int status;
        std::string message;  // when the exact words matter
    };
    const Row rows[] = {
        {"no token", dictate, none, wavTone(-20, 0.5), "audio/m4a", 401},
        {"a made-up token", fill, {{"Authorization", "Bearer not-a-token"}}, "{}", js, 401},
        {"another scheme", fill, {{"Authorization", "Basic abc"}}, "{}", js, 401},
        {"a wrong password", "/api/v1/auth/signin", none, json{{"email", email}, {"password", "fortran"}}.dump(), js,
         401, "Wrong e-mail or password."},
        {"an address taken", signUp, none, json{{"email", email}, {"password", "cobol-rules"}}.dump(), js, 401},
        {"a control character in an address", signUp, none,
         R"({"email": "ada\u0001@example.com", "password": "12345678"})", js, 401, "Enter a valid e-mail address."},
        {"bytes that are not audio", dictate, user, "hello, this is not audio", "audio/m4a", 400},
        {"a recording sent as text", dictate, user, wavTone(-20, 1), "text/plain", 415},
        {"an upload over the limit", dictate, user, std::string(256 * 1024 + 1, 'x'), "audio/m4a", 413},
        {"a recording longer than a dictation", dictate, user, wavTone(-20, 6), "audio/wav", 413},
        {"a body that is not JSON", fill, user, "{not json", js, 400},
        {"a JSON array", fill, user, "[]", js, 400},
        {"no fields", fill, user, R"({"transcript": "hi"})", js, 400},
        {"a field that is not an object", fill, user, R"({"transcript": "hi", "fields": [1]})", js, 400},
        {"a field without an id", fill, user, R"({"transcript": "hi", "fields": [{"type": "text"}]})", js, 400},
        {"a transcript that is not text", fill, user, R"({"transcript": 5, "fields": []})", js, 400},
        {"an unknown route", "/api/v1/nothing-here", user, "{}", js, 404},
        {"the service's own page", signUp, {{"Origin", "http://127.0.0.1:" + port}}, someone, js, 401},
        {"the page under localhost", signUp, {{"Origin", "http://localhost:" + port}}, someone, js, 401},
        {"the desktop program", signUp, none, someone, "application/json; charset=utf-8", 401},
        {"another site", signUp, {{"Origin", "http://evil.example"}}, someone, js, 403},
        {"another port", signUp, {{"Origin", "http://127.0.0.1:1"}}, someone, js, 403},
        {"a sandboxed frame", signUp, {{"Origin", "null"}}, someone, js, 403},
        {"a rebound name", signUp, {{"Host", "evil.example:" + port}}, someone, js, 421},
        {"a plain-text body", signUp, none, someone, "text/plain", 415},
        {"a form body", signUp, none, someone, "application/x-www-form-urlencoded", 415},
    };
    for (auto& row : rows) {
        auto result = running.client().Post(row.path, row.headers, row.body, row.type);
        ASSERT_TRUE(result) << row.what;
        EXPECT_EQ(result->status, row.status) << row.what;
        auto message = RunningService::messageOf(result);
        EXPECT_TRUE(row.message.empty() ? !message.empty() : message == row.message) << row.what << ": " << message;
    }
    EXPECT_EQ(running.client().Get("/app", {{"Host", "evil.example"}})->status, 421);
    auto fine = running.client().Post(dictate, user, wavTone(-20, 1), "audio/wav");
    ASSERT_TRUE(fine);
    EXPECT_EQ(fine->status, 200);
    EXPECT_TRUE(json::parse(fine->body)["text"].is_string());
}

// (Fills from a transcript are followed in the abuse test, at length.) A field
// left empty is named by its label, else placeholder, else nearby text, else id.
TEST(ServiceApi, FillsFromTheAccountsOwnNoteOnly) {
    RunningService running;
    auto token = running.token();
    auto note = running.post("/api/v1/notes",
                             R"({"title": "Me", "body": "Name: Ada Lovelace\nEmail: ada at example dot com"})", token);
    ASSERT_EQ(note->status, 201);
    json request = {{"noteId", json::parse(note->body)["id"]},
                    {"fields",
                     {{{"id", "f0"}, {"type", "text"}, {"label", "Full name"}},
                      {{"id", "f1"}, {"type", "text"}, {"placeholder", "E-mail"}},
                      {{"id", "f2"}, {"type", "text"}, {"placeholder", "Reference"}, {"near", "Postcode"}},
                      {{"id", "f3"}, {"type", "text"}, {"near", "Postcode"}},
                      {{"id", "f4"}, {"type", "text"}}}}};
    auto filled = running.post("/api/v1/fill", request.dump(), token);
    ASSERT_EQ(filled->status, 200);
    EXPECT_EQ(json::parse(filled->body), json::parse(R"({"values": {"f0": "Ada Lovelace", "f1": "ada@example.com"},
                                                         "unfilled": ["Reference", "Postcode", "f4"]})"));

    // Another account's note is as unknown as one that never was.
    auto eve = running.post("/api/v1/auth/signup", R"({"email": "eve@example.com", "password": "not-adas-notes"})");
    EXPECT_EQ(running.post("/api/v1/fill", request.dump(), json::parse(eve->body)["access_token"])->status, 404);
    request["noteId"] = "n0000";
    EXPECT_EQ(running.post("/api/v1/fill", request.dump(), token)->status, 404);
}

// An idle tab's access token has expired; its sign-out must still end the
// session and the desktop's hand-off made from it, and only those.
TEST(ServiceApi, SignOutWithAnExpiredAccessTokenEndsTheSessionAndItsHandOffs) {
    RunningService running;
    auto browser = running.signIn(), elsewhere = running.signIn();
    auto handoff = running.post("/api/v1/auth/handoff", "", browser["access_token"]);
    ASSERT_EQ(handoff->status, 200);
    running.now = running.now + 3601;
    auto out = running.post("/api/v1/auth/signout", json{{"refresh_token", browser["refresh_token"]}}.dump(),
                            browser["access_token"]);
    EXPECT_EQ(out->status, 200);
    EXPECT_EQ(out->get_header_value("Cache-Control"), "no-store");
    EXPECT_EQ(refreshStatus(running, browser), 401);
    EXPECT_EQ(refreshStatus(running, json::parse(handoff->body)), 401);
    EXPECT_EQ(refreshStatus(running, elsewhere), 200);
}

TEST(ServiceApi, SignInAttemptsAreLimitedPerAccountAndPerAddress) {
    vell::service::Service::Options options;
    options.signIn.perAccount = 3;
    options.signIn.perAddress = 6;
    RunningService running(options);
    auto attempt = [&](const std::string& email, const std::string& password) {
        return running.post("/api/v1/auth/signin", json{{"email", email}, {"password", password}}.dump());
    };
    const auto& account = running.credentials;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(attempt(account.email, "guess")->status, 401);
    auto limited = attempt(account.email, account.password);  // even the right one
    EXPECT_EQ(limited->status, 429);
    EXPECT_EQ(RunningService::messageOf(limited), "Too many sign-in attempts. Try again in 15 minutes.");
    EXPECT_EQ(limited->get_header_value("Retry-After"), "900");

    // Other accounts from the same address: limited once the address has tried too often.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(attempt("nobody" + std::to_string(i) + "@example.com", "x")->status, 401);
    EXPECT_EQ(attempt("someone@example.com", "x")->status, 429);

    running.now = running.now + 15 * 60;
    EXPECT_EQ(attempt(account.email, account.password)->status, 200);
}

// Two tabs opened version 1: the second's save must not erase the first's.
TEST(ServiceApi, NoteSavesKeepWhatTheyDoNotNameAndStaleSavesAreRefused) {
    RunningService running;
    auto auth = RunningService::bearer(running.token());
    auto created =
        running.client().Post("/api/v1/notes", auth, R"({"title": "Me", "body": "Name: Ada"})", "application/json");
    std::string path = "/api/v1/notes/" + json::parse(created->body)["id"].get<std::string>();

    auto titled = running.client().Put(path, auth, R"({"title": "About me", "version": 1})", "application/json");
    ASSERT_EQ(titled->status, 200);
    EXPECT_EQ(json::parse(titled->body)["body"], "Name: Ada");
    EXPECT_EQ(titled->get_header_value("ETag"), "\"2\"");

    // The second tab, still on version 1, names it in the body or in If-Match.
    auto stale = running.client().Put(path, auth, R"({"body": "Name: Grace", "version": 1})", "application/json");
    EXPECT_EQ(stale->status, 409);
    EXPECT_EQ(json::parse(stale->body)["note"]["title"], "About me");
    auth.emplace("If-Match", "\"1\"");
    EXPECT_EQ(running.client().Put(path, auth, R"({"body": "Name: Grace"})", "application/json")->status, 409);
    EXPECT_EQ(json::parse(running.client().Get("/api/v1/notes", auth)->body)["notes"][0]["body"], "Name: Ada");
}

// A data folder left open to others is closed at start; a database that
// cannot be read stops the service with a reason instead of failing every call.
TEST(ServiceApi, TheDataFolderIsMadePrivateAndADamagedDatabaseStopsTheStart) {
    namespace fs = std::filesystem;
    vell::test::ScratchFolder scratch("vell-trust");
    vell::service::Service::Options options;
    options.dataDir = scratch / "data";
    options.logRequests = false;
    const auto database = options.dataDir / "vell-service.sqlite3";
    for (const char* start : {"a new folder", "a folder opened to everyone"}) {
        { vell::service::Service service(options); }
        EXPECT_EQ(fs::status(options.dataDir).permissions() & fs::perms::all, fs::perms::owner_all) << start;
        EXPECT_EQ(fs::status(database).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write)
            << start;
        fs::permissions(options.dataDir, fs::perms::all);
        fs::permissions(database, fs::perms::all);
    }
    for (auto suffix : {"-wal", "-shm"}) fs::remove(database.string() + suffix);
    std::ofstream(database, std::ios::trunc) << std::string(8192, 'x');
    std::string reason = "it started";
    try {
        vell::service::Service service(options);
    } catch (const std::exception& e) {
        reason = e.what();
    }
    EXPECT_NE(reason.find("cannot be used"), std::string::npos) << reason;
}

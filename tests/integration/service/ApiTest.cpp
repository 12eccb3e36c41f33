// The service's HTTP interface over real loopback connections.
#include "RunningService.h"

#include <gtest/gtest.h>

#include <cmath>

using nlohmann::json;
using vell::test::RunningService;

namespace {

vell::service::Service::Options smallLimits() {
    vell::service::Service::Options options;
    options.maxAudioBytes = 256 * 1024;
    options.maxAudioSeconds = 5;
    return options;
}

// The answer's "message" (empty when there is none or the body is not JSON).
std::string messageOf(const httplib::Result& result) {
    if (!result) return {};
    json body = json::parse(result->body, nullptr, false);
    return body.is_object() && body.contains("message") && body["message"].is_string()
               ? body["message"].get<std::string>()
               : std::string();
}

std::string wavTone(double seconds) {
    int frames = static_cast<int>(16000 * seconds);
    std::string data;
    for (int i = 0; i < frames; ++i) {
        auto sample = static_cast<std::int16_t>(3000 * std::sin(i * 0.2));
        data.append(reinterpret_cast<const char*>(&sample), 2);
    }
    auto u32 = [](std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [](std::uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
    return "RIFF" + u32(36 + static_cast<std::uint32_t>(data.size())) + "WAVEfmt " + u32(16) + u16(1) + u16(1) +
           u32(16000) + u32(32000) + u16(2) + u16(16) + "data" + u32(static_cast<std::uint32_t>(data.size())) + data;
}

const char* const kContactFill = R"({"transcript": "my name is Ada Lovelace, phone is 555 0100",
    "fields": [{"id": "f0", "type": "text", "label": "Name"}, {"id": "f1", "type": "text", "label": "Telephone"},
               {"id": "f2", "type": "textarea", "label": "Message"}]})";

}  // namespace

TEST(ServiceApi, BothEndpointsRequireAValidBearerToken) {
    RunningService running(smallLimits());
    auto client = running.client();
    for (const httplib::Headers& headers : {httplib::Headers{}, RunningService::bearer("not-a-token"),
                                            httplib::Headers{{"Authorization", "Basic abc"}}}) {
        auto dictate = client.Post("/api/v1/dictate", headers, wavTone(0.5), "audio/m4a");
        ASSERT_TRUE(dictate);
        EXPECT_EQ(dictate->status, 401);
        EXPECT_FALSE(messageOf(dictate).empty());

        auto fill = client.Post("/api/v1/fill", headers, kContactFill, "application/json");
        ASSERT_TRUE(fill);
        EXPECT_EQ(fill->status, 401);
        EXPECT_FALSE(messageOf(fill).empty());
    }
}

TEST(ServiceApi, AccessTokensExpireAndRefreshTokensRotate) {
    RunningService running(smallLimits());
    auto client = running.client();
    auto session = running.signIn();
    EXPECT_DOUBLE_EQ(session["expires_at"].get<double>(), running.now + 3600);
    auto token = session["access_token"].get<std::string>();
    EXPECT_EQ(client.Post("/api/v1/fill", RunningService::bearer(token), kContactFill, "application/json")->status,
              200);

    running.now = running.now + 3601;
    auto expired = client.Post("/api/v1/fill", RunningService::bearer(token), kContactFill, "application/json");
    EXPECT_EQ(expired->status, 401);
    EXPECT_FALSE(messageOf(expired).empty());

    auto oldRefresh = session["refresh_token"].get<std::string>();
    auto renewed = client.Post("/api/v1/auth/refresh", json{{"refresh_token", oldRefresh}}.dump(), "application/json");
    ASSERT_EQ(renewed->status, 200);
    auto next = json::parse(renewed->body);
    EXPECT_NE(next["access_token"], session["access_token"]);
    EXPECT_NE(next["refresh_token"], session["refresh_token"]);
    EXPECT_EQ(next["email"], running.credentials.email);
    EXPECT_EQ(
        client.Post("/api/v1/fill", RunningService::bearer(next["access_token"]), kContactFill, "application/json")
            ->status,
        200);

    auto replayed = client.Post("/api/v1/auth/refresh", json{{"refresh_token", oldRefresh}}.dump(), "application/json");
    EXPECT_EQ(replayed->status, 401);
    EXPECT_FALSE(messageOf(replayed).empty());
    // The replay shows a copy is about: the session it belonged to is over for everyone.
    EXPECT_EQ(
        client.Post("/api/v1/auth/refresh", json{{"refresh_token", next["refresh_token"]}}.dump(), "application/json")
            ->status,
        401);
    EXPECT_EQ(
        client.Post("/api/v1/fill", RunningService::bearer(next["access_token"]), kContactFill, "application/json")
            ->status,
        401);
}

TEST(ServiceApi, SignUpSignInAndWrongPasswords) {
    RunningService running(smallLimits());
    auto client = running.client();
    auto signUp = client.Post("/api/v1/auth/signup", R"({"email":"grace@example.com","password":"cobol-rules"})",
                              "application/json");
    ASSERT_EQ(signUp->status, 200);
    EXPECT_EQ(json::parse(signUp->body)["email"], "grace@example.com");
    EXPECT_EQ(client
                  .Post("/api/v1/auth/signup", R"({"email":"grace@example.com","password":"cobol-rules"})",
                        "application/json")
                  ->status,
              401);
    auto wrong =
        client.Post("/api/v1/auth/signin", R"({"email":"grace@example.com","password":"fortran"})", "application/json");
    EXPECT_EQ(wrong->status, 401);
    EXPECT_EQ(messageOf(wrong), "Wrong e-mail or password.");
    EXPECT_EQ(client
                  .Post("/api/v1/auth/signin", R"({"email":"GRACE@example.com","password":"cobol-rules"})",
                        "application/json")
                  ->status,
              200);
}

TEST(ServiceApi, UploadsAboveTheLimitAnswer413) {
    RunningService running(smallLimits());
    auto client = running.client();
    auto auth = RunningService::bearer(running.signIn()["access_token"]);

    auto tooLarge = client.Post("/api/v1/dictate", auth, std::string(256 * 1024 + 1, 'x'), "audio/m4a");
    ASSERT_TRUE(tooLarge);
    EXPECT_EQ(tooLarge->status, 413);
    EXPECT_FALSE(messageOf(tooLarge).empty());

    // Small enough to upload, but longer than a dictation may be.
    auto tooLong = running.client().Post("/api/v1/dictate", auth, wavTone(6), "audio/wav");
    ASSERT_TRUE(tooLong);
    EXPECT_EQ(tooLong->status, 413);

    // The service still answers normally afterwards.
    auto fine = running.client().Post("/api/v1/dictate", auth, wavTone(1), "audio/wav");
    ASSERT_TRUE(fine);
    EXPECT_EQ(fine->status, 200);
    EXPECT_TRUE(json::parse(fine->body)["text"].is_string());
}

TEST(ServiceApi, UndecodableAudioAndWrongMediaTypesAnswer4xxWithAMessage) {
    RunningService running(smallLimits());
    auto client = running.client();
    auto auth = RunningService::bearer(running.signIn()["access_token"]);
    for (auto body : {std::string("hello, this is not audio"), std::string(), wavTone(1).substr(0, 40)}) {
        auto result = client.Post("/api/v1/dictate", auth, body, "audio/m4a");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 400);
        EXPECT_FALSE(messageOf(result).empty());
    }
    auto text = client.Post("/api/v1/dictate", auth, wavTone(1), "text/plain");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->status, 415);
    EXPECT_FALSE(messageOf(text).empty());
}

TEST(ServiceApi, MalformedFillRequestsAnswer400WithAMessage) {
    RunningService running(smallLimits());
    auto client = running.client();
    auto auth = RunningService::bearer(running.signIn()["access_token"]);
    for (const char* body :
         {"{not json", "[]", "\"text\"", "{}", R"({"transcript": "hi"})", R"({"transcript": "hi", "fields": {}})",
          R"({"transcript": "hi", "fields": [1]})", R"({"transcript": "hi", "fields": [{"type": "text"}]})",
          R"({"transcript": "hi", "fields": [{"id": "a", "label": 3}]})", R"({"transcript": 5, "fields": []})",
          R"({"fields": []})"}) {
        auto result = client.Post("/api/v1/fill", auth, body, "application/json");
        ASSERT_TRUE(result) << body;
        EXPECT_EQ(result->status, 400) << body;
        EXPECT_FALSE(messageOf(result).empty()) << body;
    }
}

TEST(ServiceApi, FillFromATranscript) {
    RunningService running(smallLimits());
    auto result = running.client().Post("/api/v1/fill", RunningService::bearer(running.signIn()["access_token"]),
                                        kContactFill, "application/json");
    ASSERT_EQ(result->status, 200);
    EXPECT_EQ(json::parse(result->body),
              json::parse(R"({"values": {"f0": "Ada Lovelace", "f1": "555 0100"}, "unfilled": ["Message"]})"));
}

TEST(ServiceApi, FillFromTheAccountsOwnNoteOnly) {
    RunningService running(smallLimits());
    auto client = running.client();
    auto auth = RunningService::bearer(running.signIn()["access_token"]);
    auto created = client.Post("/api/v1/notes", auth,
                               R"({"title": "Me", "body": "Name: Ada Lovelace\nEmail: ada at example dot com"})",
                               "application/json");
    ASSERT_EQ(created->status, 201);
    std::string noteId = json::parse(created->body)["id"];
    json request = {{"noteId", noteId},
                    {"fields",
                     {{{"id", "f0"}, {"type", "text"}, {"label", "Full name"}},
                      {{"id", "f1"}, {"type", "text"}, {"placeholder", "E-mail"}},
                      {{"id", "f2"}, {"type", "text"}, {"near", "Postcode"}}}}};
    auto filled = client.Post("/api/v1/fill", auth, request.dump(), "application/json");
    ASSERT_EQ(filled->status, 200);
    EXPECT_EQ(json::parse(filled->body), json::parse(R"({"values": {"f0": "Ada Lovelace", "f1": "ada@example.com"},
                                                         "unfilled": ["Postcode"]})"));

    request["noteId"] = "n0000";
    auto unknown = client.Post("/api/v1/fill", auth, request.dump(), "application/json");
    EXPECT_EQ(unknown->status, 404);
    EXPECT_FALSE(messageOf(unknown).empty());

    auto other = client.Post("/api/v1/auth/signup", R"({"email":"eve@example.com","password":"not-adas-notes"})",
                             "application/json");
    request["noteId"] = noteId;
    auto foreign = client.Post("/api/v1/fill", RunningService::bearer(json::parse(other->body)["access_token"]),
                               request.dump(), "application/json");
    EXPECT_EQ(foreign->status, 404);
}

TEST(ServiceApi, ServesTheWebApplication) {
    RunningService running(smallLimits());
    auto client = running.client();
    auto page = client.Get("/app");
    ASSERT_EQ(page->status, 200);
    EXPECT_NE(page->get_header_value("Content-Type").find("text/html"), std::string::npos);
    EXPECT_NE(page->body.find("/app/app.js"), std::string::npos);
    auto script = client.Get("/app/app.js");
    ASSERT_EQ(script->status, 200);
    EXPECT_NE(script->body.find("__vellBridge"), std::string::npos);
    EXPECT_EQ(client.Get("/app/missing.js")->status, 404);
    EXPECT_EQ(client.Get("/app/..%2F..%2Fetc%2Fpasswd")->status, 404);
    auto unknown = client.Get("/api/v1/nothing-here");
    EXPECT_EQ(unknown->status, 404);
    EXPECT_FALSE(messageOf(unknown).empty());
}

// The fill mapping client over real HTTP on loopback.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "FakeSession.h"
#include "fill/FillService.h"
#include "platform/linux/CurlHttpClient.h"
#include "platform/linux/GlibMainLoop.h"
#include "session/Session.h"
#include "support/RecordingHttpServer.h"

using vell::fill::FillEngine;
using vell::fill::FillService;
using vell::test::RecordingHttpServer;

namespace {

struct TokenSession : vell::test::FakeSession {
    TokenSession() : FakeSession("secret-token") {}
};

struct FillServiceHttpTest : ::testing::Test {
    RecordingHttpServer server;
    vell::platform::GlibMainLoop loop;
    vell::platform::CurlHttpClient http;
    TokenSession session;
    FillService service{session, http, loop, server.baseURL()};

    // Runs one send to its end; the mapping, or the error's text.
    std::variant<FillService::Mapping, std::string> send(std::vector<FillEngine::Field> fields = {}) {
        auto task = service.send({{"transcript", "I am Ada, ada@example.com"}}, std::move(fields));
        EXPECT_TRUE(loop.runUntil([&] { return task.done(); }, 30));
        try {
            return task.get();
        } catch (const vell::Error& e) {
            return std::string(e.what());
        }
    }
};

FillEngine::Field field(std::string id, std::optional<std::string> label, std::optional<std::string> placeholder,
                        std::optional<std::string> near) {
    FillEngine::Field f;
    f.id = std::move(id);
    f.type = "text";
    f.label = std::move(label);
    f.placeholder = std::move(placeholder);
    f.near = std::move(near);
    f.original = "not for the service";
    return f;
}

TEST_F(FillServiceHttpTest, PostsTheExactBodyAndOnlyItsOwnHeaders) {
    server.answer({200, R"({"values":{"f0":"Ada","f1":"ada@example.com"},"unfilled":["phone"]})"});

    auto result =
        send({field("f0", "Name", std::nullopt, std::nullopt), field("f1", std::nullopt, "", "E-mail \u2014 work")});

    auto* mapping = std::get_if<FillService::Mapping>(&result);
    ASSERT_TRUE(mapping);
    EXPECT_EQ(mapping->values, (std::map<std::string, std::string>{{"f0", "Ada"}, {"f1", "ada@example.com"}}));
    EXPECT_EQ(mapping->unfilled, std::vector<std::string>{"phone"});
    auto received = server.received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].method, "POST");
    EXPECT_EQ(received[0].path, "/api/v1/fill");
    EXPECT_EQ(received[0].body,
              "{\"fields\":[{\"id\":\"f0\",\"label\":\"Name\",\"type\":\"text\"},"
              "{\"id\":\"f1\",\"near\":\"E-mail \u2014 work\",\"placeholder\":\"\",\"type\":\"text\"}],"
              "\"transcript\":\"I am Ada, ada@example.com\"}");
    const auto& headers = received[0].headers;
    auto header = [&](const char* name) {
        auto it = headers.find(name);
        return it == headers.end() ? std::string("<none>") : it->second;
    };
    EXPECT_EQ(header("Authorization"), "Bearer secret-token");
    EXPECT_EQ(header("Content-Type"), "application/json");
    EXPECT_EQ(header("Accept"), "<none>");
    EXPECT_EQ(header("Expect"), "<none>");
}

TEST_F(FillServiceHttpTest, A200WithAValueThatIsNoStringGivesNoValues) {
    server.answer({200, R"({"values":{"f0":"Ada","f1":7},"unfilled":[]})"});
    auto result = send();
    auto* mapping = std::get_if<FillService::Mapping>(&result);
    ASSERT_TRUE(mapping);
    EXPECT_TRUE(mapping->values.empty());
}

TEST_F(FillServiceHttpTest, FailuresCarryTheServiceMessageOrTheFallback) {
    server.answer({401, R"({"message":"Your session expired \u2014 sign in again."})"});
    EXPECT_EQ(send(), decltype(send())(std::string("Your session expired \u2014 sign in again.")));

    server.answer({500, "Internal Server Error", "text/plain"});
    EXPECT_EQ(send(), decltype(send())(std::string("Could not work out what goes where.")));

    server.answer({201, R"({"values":{"f0":"Ada"}})"});
    EXPECT_EQ(send(), decltype(send())(std::string("Could not work out what goes where.")));

    server.answer({204, ""});
    EXPECT_EQ(send(), decltype(send())(std::string("Could not work out what goes where.")));
}

TEST_F(FillServiceHttpTest, WithoutATokenNothingGoesOut) {
    session.token.reset();
    EXPECT_EQ(send(), decltype(send())(std::string("Sign in from the Vell panel first.")));
    EXPECT_TRUE(server.received().empty());
}

}  // namespace

namespace {

// No answer, or an address that is not http or https: one finished sentence,
// and the token never leaves.
TEST(FillServiceUnreachable, SaysTheServiceCannotBeReachedAndSendsTheTokenNowhere) {
    vell::platform::GlibMainLoop loop;
    vell::platform::CurlHttpClient http;
    TokenSession session;
    const std::string secrets = testing::TempDir() + "/vell-local";  // a file curl could read
    std::filesystem::create_directories(secrets + "/api/v1");
    std::ofstream(secrets + "/api/v1/fill") << R"({"values":{}})";
    for (const std::string& base :
         {std::string("http://127.0.0.1:1"), "file://" + secrets, std::string("ftp://127.0.0.1:1")}) {
        SCOPED_TRACE(base);
        FillService service{session, http, loop, base};
        auto task = service.send({{"transcript", "x"}}, {});
        ASSERT_TRUE(loop.runUntil([&] { return task.done(); }, 30));
        try {
            task.get();
            ADD_FAILURE() << "no error";
        } catch (const vell::Error& error) {
            EXPECT_STREQ(error.what(), "Could not reach Vell. Check your connection.");
        }
    }
}

}  // namespace

#include "fill/FillService.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "FakeSession.h"
#include "platform/HttpClient.h"
#include "session/Session.h"
#include "support/VirtualLoop.h"

using vell::fill::FillService;
using vell::fill::FormAccess;
using vell::platform::HttpClient;

namespace {

struct TokenSession : vell::test::FakeSession {
    TokenSession() : FakeSession("tok-123") {}
};

struct ScriptedHttp final : HttpClient {
    std::vector<Request> sent;
    Response answer{200, R"({"values":{}})"};
    Response send(const Request& request) override {
        sent.push_back(request);
        return answer;
    }
};

FormAccess::Field field(std::string id, std::optional<std::string> label, std::optional<std::string> placeholder,
                        std::optional<std::string> near, std::string type = "text") {
    FormAccess::Field f;
    f.id = std::move(id);
    f.label = std::move(label);
    f.placeholder = std::move(placeholder);
    f.near = std::move(near);
    f.type = std::move(type);
    f.original = "never sent";
    return f;
}

struct FillServiceTest : ::testing::Test {
    vell::test::VirtualLoop loop;
    TokenSession session;
    ScriptedHttp http;
    FillService service{session, http, loop, "http://service.test/base"};

    FillService::Mapping send(std::vector<FormAccess::Field> fields = {}) {
        auto task = service.send({{"transcript", "my name is Ada"}}, std::move(fields));
        loop.runUntilIdle();
        EXPECT_TRUE(task.done());
        return task.get();
    }
};

TEST_F(FillServiceTest, PostsTheSourceAndFieldDescriptionsWithExactlyTheTwoHeaders) {
    send({field("f0", "Name", std::nullopt, std::nullopt), field("f1", std::nullopt, "", std::nullopt, "textarea"),
          field("f2", std::nullopt, std::nullopt, "Email"), field("f3", std::nullopt, std::nullopt, std::nullopt)});

    ASSERT_EQ(http.sent.size(), 1u);
    const auto& request = http.sent[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.url, "http://service.test/base/api/v1/fill");
    EXPECT_EQ(request.headers, (std::vector<std::pair<std::string, std::string>>{
                                   {"Authorization", "Bearer tok-123"}, {"Content-Type", "application/json"}}));
    EXPECT_EQ(request.timeoutSeconds, 30);
    EXPECT_EQ(request.body,
              R"({"fields":[{"id":"f0","label":"Name","type":"text"},{"id":"f1","placeholder":"","type":"textarea"},)"
              R"({"id":"f2","near":"Email","type":"text"},{"id":"f3","type":"text"}],"transcript":"my name is Ada"})");
    EXPECT_EQ(loop.backgroundJobs(), 1);  // the blocking request ran off the main loop
}

TEST_F(FillServiceTest, BodyIsCompactUtf8AndAnEmptyListIsSentAsAnArray) {
    EXPECT_EQ(FillService::requestBody({{"noteId", "n-1"}}, {}), R"({"fields":[],"noteId":"n-1"})");
    EXPECT_EQ(FillService::requestBody({{"transcript", "caf\u00e9 \U0001F600"}}, {}),
              "{\"fields\":[],\"transcript\":\"caf\u00e9 \U0001F600\"}");
}

TEST_F(FillServiceTest, TextThatIsNotUtf8IsSentWithReplacementCharacters) {
    auto body = FillService::requestBody({{"transcript", "ok"}}, {field("f0", "Na\xffme", std::nullopt, std::nullopt)});
    EXPECT_EQ(body, "{\"fields\":[{\"id\":\"f0\",\"label\":\"Na\uFFFDme\",\"type\":\"text\"}],\"transcript\":\"ok\"}");
}

TEST_F(FillServiceTest, NoTokenMeansNoRequest) {
    session.token.reset();
    auto task = service.send({{"transcript", "x"}}, {});
    loop.runUntilIdle();
    ASSERT_TRUE(task.done());
    EXPECT_THROW(task.get(), vell::session::SessionError);
    EXPECT_TRUE(http.sent.empty());
    EXPECT_EQ(loop.backgroundJobs(), 0);
}

TEST_F(FillServiceTest, TransportErrorsPassThroughUnchanged) {
    struct Unreachable final : HttpClient {
        Response send(const Request&) override { throw TransportError("no route"); }
    } unreachable;
    FillService offline{session, unreachable, loop, "http://x"};
    auto task = offline.send({{"transcript", "x"}}, {});
    loop.runUntilIdle();
    try {
        task.get();
        ADD_FAILURE() << "no error";
    } catch (const HttpClient::TransportError& error) {
        EXPECT_STREQ(error.what(), "Could not reach Vell. Check your connection.");
        EXPECT_EQ(error.detail(), "no route");
    }
}

TEST(FillServiceAnswer, OnlyA200WithAllStringValuesGivesValues) {
    auto mapping = FillService::readAnswer(200, R"({"values":{"f0":"Ada"},"ignored":1})");
    EXPECT_EQ(mapping.values, (std::map<std::string, std::string>{{"f0", "Ada"}}));
    EXPECT_TRUE(mapping.unfilled.empty());

    mapping = FillService::readAnswer(200, R"({"values":{"f0":"Ada","f1":42},"unfilled":["phone","fax"]})");
    EXPECT_TRUE(mapping.values.empty());
    EXPECT_EQ(mapping.unfilled, (std::vector<std::string>{"phone", "fax"}));

    mapping = FillService::readAnswer(200, R"({"values":{"f0":"Ada"},"unfilled":["phone",3]})");
    EXPECT_EQ(mapping.values.size(), 1u);
    EXPECT_TRUE(mapping.unfilled.empty());

    for (const char* unusable : {"", "not json", "[1,2]", R"({"values":["Ada"],"unfilled":"phone"})", "null"}) {
        mapping = FillService::readAnswer(200, unusable);
        EXPECT_TRUE(mapping.values.empty()) << unusable;
        EXPECT_TRUE(mapping.unfilled.empty()) << unusable;
    }
}

TEST(FillServiceAnswer, OtherStatusesFailWithTheServiceMessageOrTheFallback) {
    auto failure = [](int status, const std::string& body) -> std::string {
        try {
            FillService::readAnswer(status, body);
        } catch (const FillService::FillError& e) {
            return e.description();
        }
        return "<no error>";
    };
    EXPECT_EQ(failure(401, R"({"message":"Your session has ended."})"), "Your session has ended.");
    EXPECT_EQ(failure(422, R"({"message":""})"), "");
    EXPECT_EQ(failure(500, "<html>oops</html>"), "Could not work out what goes where.");
    EXPECT_EQ(failure(500, R"({"message":42})"), "Could not work out what goes where.");
    EXPECT_EQ(failure(201, R"({"values":{"f0":"Ada"}})"), "Could not work out what goes where.");
    EXPECT_EQ(failure(204, ""), "Could not work out what goes where.");
}

}  // namespace

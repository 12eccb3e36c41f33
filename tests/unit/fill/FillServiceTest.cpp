#include "fill/FillService.h"

#include <gtest/gtest.h>

#include "FakeSession.h"
#include "platform/HttpClient.h"
#include "session/Session.h"
#include "support/VirtualLoop.h"

using vell::fill::FillService;
using vell::fill::FormAccess;
using vell::platform::HttpClient;

namespace {

// Sends nothing anywhere: keeps each request and gives the scripted answer,
// or throws when there is none (the service is out of reach).
struct ScriptedHttp final : HttpClient {
    std::vector<Request> sent;
    std::optional<Response> answer = Response{200, R"({"values":{}})"};
    Response send(const Request& request) override {
        sent.push_back(request);
        if (!answer) throw TransportError("no route");
        return *answer;
    }
};

struct FillServiceTest : ::testing::Test {
    vell::test::VirtualLoop loop;
    vell::test::FakeSession session;
    ScriptedHttp http;
    FillService service{session, http, loop, "http://service.test/base"};

    vell::Task<FillService::Mapping> send(std::vector<FormAccess::Field> fields = {}) {
        auto task = service.send({{"transcript", "my name is Ada"}}, std::move(fields));
        loop.runUntilIdle();
        EXPECT_TRUE(task.done());
        return task;
    }
};

TEST_F(FillServiceTest, PostsTheSourceAndFieldDescriptionsWithExactlyTheTwoHeaders) {
    send({{.id = "f0", .label = "Name", .type = "text", .original = "never sent"},
          {.id = "f1", .placeholder = "", .type = "textarea"},
          {.id = "f2", .type = "text", .near = "Email"},
          {.id = "f3", .type = "text"}})
        .get();

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

TEST_F(FillServiceTest, BodyIsCompactUtf8WithAnEmptyListAsAnArrayAndBadBytesReplaced) {
    EXPECT_EQ(FillService::requestBody({{"noteId", "n-1"}}, {}), R"({"fields":[],"noteId":"n-1"})");
    EXPECT_EQ(FillService::requestBody({{"transcript", "caf\u00e9 \U0001F600"}}, {}),
              "{\"fields\":[],\"transcript\":\"caf\u00e9 \U0001F600\"}");
    EXPECT_EQ(FillService::requestBody({{"transcript", "ok"}}, {{.id = "f0", .label = "Na\xffme", .type = "text"}}),
              "{\"fields\":[{\"id\":\"f0\",\"label\":\"Na\uFFFDme\",\"type\":\"text\"}],\"transcript\":\"ok\"}");
}

TEST_F(FillServiceTest, NoTokenMeansNoRequestAndTransportErrorsPassThroughUnchanged) {
    session.signedIn = false;
    EXPECT_THROW(send().get(), vell::session::SessionError);
    EXPECT_TRUE(http.sent.empty());
    EXPECT_EQ(loop.backgroundJobs(), 0);

    session.signedIn = true;
    http.answer.reset();
    try {
        send().get();
        ADD_FAILURE() << "no error";
    } catch (const HttpClient::TransportError& error) {
        EXPECT_EQ(error.detail(), "no route");
    }
}

// Each row: status and body; the values and unfilled names read, or the error told.
TEST(FillServiceAnswer, OnlyA200WithAllStringValuesGivesValuesElseTheServiceMessageOrTheFallback) {
    using Values = std::map<std::string, std::string>;
    using Names = std::vector<std::string>;
    const std::string fallback = "Could not work out what goes where.";
    const struct {
        int status;
        const char* body;
        Values values;
        Names unfilled;
        std::optional<std::string> error;
    } cases[] = {
        {200, R"({"values":{"f0":"Ada"},"ignored":1})", {{"f0", "Ada"}}, {}, {}},
        {200, R"({"values":{"f0":"Ada","f1":42},"unfilled":["phone","fax"]})", {}, {"phone", "fax"}, {}},
        {200, R"({"values":{"f0":"Ada"},"unfilled":["phone",3]})", {{"f0", "Ada"}}, {}, {}},
        {200, R"({"values":["Ada"],"unfilled":"phone"})", {}, {}, {}},
        {200, "not json", {}, {}, {}},
        {200, "[1,2]", {}, {}, {}},
        {401, R"({"message":"Your session has ended."})", {}, {}, "Your session has ended."},
        {422, R"({"message":""})", {}, {}, ""},
        {500, "<html>oops</html>", {}, {}, fallback},
        {500, R"({"message":42})", {}, {}, fallback},
        {201, R"({"values":{"f0":"Ada"}})", {}, {}, fallback},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
        try {
            const auto mapping = FillService::readAnswer(c.status, c.body);
            EXPECT_FALSE(c.error);
            EXPECT_EQ(mapping.values, c.values);
            EXPECT_EQ(mapping.unfilled, c.unfilled);
        } catch (const FillService::FillError& e) {
            EXPECT_EQ(e.description(), c.error);
        }
    }
}

}  // namespace

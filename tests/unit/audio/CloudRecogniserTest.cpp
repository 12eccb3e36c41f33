// The dictation request on the wire and every kind of answer, against a
// recording HTTP server on loopback through the product's HTTP client.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "FakeSession.h"
#include "LoopbackServer.h"
#include "ScratchFolder.h"
#include "VirtualLoop.h"
#include "audio/CloudRecogniser.h"
#include "platform/linux/CurlHttpClient.h"
#include "session/Session.h"

using vell::Task;
using vell::audio::CloudRecogniser;
using vell::audio::RecogniserError;
using Kind = RecogniserError::Kind;

namespace {

struct CloudRecogniserTest : testing::Test {
    CloudRecogniserTest() {
        // Every byte value, including NUL and CR/LF, so any re-encoding shows.
        std::mt19937 random(7);
        for (int i = 0; i < 40000; ++i) audioBytes.push_back(static_cast<char>(i < 256 ? i : random() & 0xff));
        std::ofstream(audioFile, std::ios::binary) << audioBytes;
    }

    // Runs one transcription to its end; the HTTP exchange happens inside the
    // loop's background job.
    Task<std::string> transcribe(std::string base, double timeout = CloudRecogniser::defaultIdleTimeout) {
        CloudRecogniser recogniser(session, http, loop, std::move(base), timeout);
        auto task = recogniser.transcribe(audioFile, "audio/m4a");
        loop.runUntilIdle();
        EXPECT_TRUE(task.done());
        return task;
    }
    // The error a transcription ends with, or none.
    std::optional<RecogniserError> errorOf(Task<std::string>& task) {
        try {
            task.get();
        } catch (const RecogniserError& error) {
            return error;
        }
        return std::nullopt;
    }

    vell::test::VirtualLoop loop;
    vell::platform::CurlHttpClient http;
    vell::test::FakeSession session{std::string("tok-123.abc")};
    vell::test::LoopbackServer server;
    vell::test::ScratchFolder folder;
    std::string audioBytes;
    std::filesystem::path audioFile = folder / "take.m4a";
};

TEST_F(CloudRecogniserTest, RequestCarriesTheRawFileWithExactlyOurHeadersOffTheMainThread) {
    server.answer({200, R"({"text":"hello world"})"});
    CloudRecogniser recogniser(session, http, loop, server.baseURL() + "/base");
    auto task = recogniser.transcribe(audioFile, "audio/ogg; codecs=opus");
    EXPECT_EQ(session.asked, 1);
    EXPECT_FALSE(task.done()) << "nothing may block the caller";
    loop.runUntilIdle();
    EXPECT_EQ(loop.backgroundJobs(), 1);
    EXPECT_EQ(task.get(), "hello world");

    const auto received = server.received();
    ASSERT_EQ(received.size(), 1u);
    const auto& request = received[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/base/api/v1/dictate");
    EXPECT_TRUE(request.body == audioBytes) << "body differs from the file";
    std::multimap<std::string, std::string> ours;
    for (const auto& [name, value] : request.headers)
        if (!std::set<std::string>{"Content-Length", "Host", "REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR", "LOCAL_PORT"}
                 .contains(name))
            ours.emplace(name, value);  // the rest is HTTP's own framing
    EXPECT_EQ(ours, (std::multimap<std::string, std::string>{{"Authorization", "Bearer tok-123.abc"},
                                                             {"Content-Type", "audio/ogg; codecs=opus"}}));
    EXPECT_EQ(request.headers.find("Content-Length")->second, std::to_string(audioBytes.size()));
}

// Each row: the service's answer, and the transcript or the error it gives.
TEST_F(CloudRecogniserTest, OnlyA200GivesATranscriptAndEveryOtherAnswerItsError) {
    const struct {
        int status;
        std::string body, transcript;
        std::optional<Kind> error;
        std::string description;
    } cases[] = {
        {200, R"({"text":"Grüße — ok","other":1})", "Grüße — ok"},
        {200, R"({"text":42})", ""},
        {200, "this is not json", ""},
        {413, R"({"message":"Recording exceeds 60 s"})", "", Kind::tooLong,
         "That was longer than a dictation \u2014 record it in the app instead."},
        {500, R"({"message":"Transcription backend is down."})", "", Kind::server, "Transcription backend is down."},
        {500, R"({"message":""})", "", Kind::server, "Dictation failed (500)."},
        {500, R"({"message":7})", "", Kind::server, "Dictation failed (500)."},
        {201, R"({"text":"looks fine"})", "", Kind::server, "Dictation failed (201)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
        server.answer({c.status, c.body});
        auto task = transcribe(server.baseURL());
        if (!c.error) {
            EXPECT_EQ(task.get(), c.transcript);
            continue;
        }
        const auto error = errorOf(task);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), *c.error);
        EXPECT_STREQ(error->what(), c.description.c_str());
    }
}

TEST_F(CloudRecogniserTest, ClosedPortOrAServiceThatNeverAnswersIsUnreachable) {
    server.answer({200, R"({"text":"too late"})", "application/json", 3.0});
    for (const auto& [base, timeout] :
         {std::pair{"http://127.0.0.1:" + std::to_string(vell::test::closedLoopbackPort()),
                    CloudRecogniser::defaultIdleTimeout},
          {server.baseURL(), 1.0}}) {
        auto task = transcribe(base, timeout);
        const auto error = errorOf(task);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), Kind::unreachable);
        EXPECT_STREQ(error->what(), "Could not reach Vell. Check your connection.");
    }
}

TEST_F(CloudRecogniserTest, WithoutASessionOrAFileNothingIsSent) {
    server.answer({200, R"({"text":"never"})"});
    session.signedIn = false;
    EXPECT_THROW(transcribe(server.baseURL()).get(), vell::session::SessionError);
    EXPECT_EQ(loop.backgroundJobs(), 0) << "not even the file is read";

    session.signedIn = true;
    std::filesystem::remove(audioFile);
    auto task = transcribe(server.baseURL());
    EXPECT_THROW(EXPECT_FALSE(errorOf(task)) << "a file error is not a service error", vell::Error);
    EXPECT_TRUE(server.received().empty());
}

}  // namespace

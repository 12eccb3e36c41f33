// The dictation request on the wire and every kind of answer, against a
// recording HTTP server on loopback through the product's HTTP client.

#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <set>

#include "FakeSession.h"
#include "LoopbackServer.h"
#include "VirtualLoop.h"
#include "audio/CloudRecogniser.h"
#include "platform/linux/CurlHttpClient.h"
#include "session/Session.h"

namespace fs = std::filesystem;
using vell::Task;
using vell::audio::CloudRecogniser;
using vell::audio::RecogniserError;
using vell::session::SessionError;
using vell::test::LoopbackServer;

namespace {

// A session that hands out a fixed token, or none.
using TokenSession = vell::test::FakeSession;

class CloudRecogniserTest : public testing::Test {
protected:
    CloudRecogniserTest() {
        // Every byte value, including NUL and CR/LF, so any re-encoding shows.
        std::mt19937 random(7);
        for (int i = 0; i < 40000; ++i) audioBytes.push_back(static_cast<char>(i < 256 ? i : random() & 0xff));
        audioFile = fs::temp_directory_path() / ("vell-recogniser-test-" + std::to_string(::getpid()) + ".m4a");
        std::ofstream(audioFile, std::ios::binary) << audioBytes;
    }
    ~CloudRecogniserTest() override { fs::remove(audioFile); }

    CloudRecogniser recogniser(std::string base, double timeout = CloudRecogniser::defaultIdleTimeout) {
        return CloudRecogniser(session, http, loop, std::move(base), timeout);
    }

    // Runs one transcription to its end; the HTTP exchange happens inside the
    // loop's background job.
    Task<std::string> transcribe(CloudRecogniser& r, std::string mimeType = "audio/m4a") {
        auto task = r.transcribe(audioFile, std::move(mimeType));
        loop.runUntilIdle();
        EXPECT_TRUE(task.done());
        return task;
    }

    std::string transcriptFor(int status, std::string body) {
        server.answer({status, std::move(body)});
        auto r = recogniser(server.baseURL());
        return transcribe(r).get();
    }

    RecogniserError errorFor(int status, std::string body) {
        server.answer({status, std::move(body)});
        auto r = recogniser(server.baseURL());
        try {
            transcribe(r).get();
        } catch (const RecogniserError& error) {
            return error;
        }
        ADD_FAILURE() << "status " << status << " did not fail";
        return RecogniserError::unreachable();
    }

    vell::test::VirtualLoop loop;
    vell::platform::CurlHttpClient http;
    TokenSession session{std::string("tok-123.abc")};
    LoopbackServer server;
    std::string audioBytes;
    fs::path audioFile;
};

}  // namespace

TEST_F(CloudRecogniserTest, RequestCarriesTheRawFileWithExactlyOurHeaders) {
    server.answer({200, R"({"text":"hello world"})"});
    auto r = recogniser(server.baseURL() + "/base");
    EXPECT_EQ(transcribe(r, "audio/m4a").get(), "hello world");

    const auto received = server.received();
    ASSERT_EQ(received.size(), 1u);
    const auto& request = received[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/base/api/v1/dictate");
    ASSERT_EQ(request.body.size(), audioBytes.size());
    EXPECT_TRUE(request.body == audioBytes) << "body differs from the file";
    EXPECT_EQ(request.headers.count("Authorization"), 1u);
    EXPECT_EQ(request.headers.find("Authorization")->second, "Bearer tok-123.abc");
    EXPECT_EQ(request.headers.count("Content-Type"), 1u);
    EXPECT_EQ(request.headers.find("Content-Type")->second, "audio/m4a");

    // Nothing of ours beyond those two; the rest is HTTP's own framing.
    std::set<std::string> names;
    for (const auto& [name, value] : request.headers) names.insert(name);
    const std::set<std::string> expected{"Authorization", "Content-Type", "Content-Length", "Host",
                                         "REMOTE_ADDR",   "REMOTE_PORT",  "LOCAL_ADDR",     "LOCAL_PORT"};
    for (const auto& name : names) EXPECT_TRUE(expected.count(name)) << "unexpected header " << name;
    EXPECT_EQ(request.headers.find("Content-Length")->second, std::to_string(audioBytes.size()));
}

TEST_F(CloudRecogniserTest, MediaTypeIsSentUnchanged) {
    server.answer({200, R"({"text":""})"});
    auto r = recogniser(server.baseURL());
    transcribe(r, "audio/ogg; codecs=opus").get();
    ASSERT_EQ(server.received().size(), 1u);
    EXPECT_EQ(server.received()[0].headers.find("Content-Type")->second, "audio/ogg; codecs=opus");
}

TEST_F(CloudRecogniserTest, WorkHappensOffTheMainThreadAfterTheToken) {
    server.answer({200, R"({"text":"x"})"});
    auto r = recogniser(server.baseURL());
    auto task = r.transcribe(audioFile, "audio/m4a");
    EXPECT_EQ(session.asked, 1);
    EXPECT_FALSE(task.done()) << "nothing may block the caller";
    EXPECT_TRUE(server.received().empty());
    loop.runUntilIdle();
    EXPECT_EQ(loop.backgroundJobs(), 1);
    EXPECT_EQ(task.get(), "x");
}

TEST_F(CloudRecogniserTest, OnlyAStringTextIsATranscript) {
    EXPECT_EQ(transcriptFor(200, R"({"text":"Grüße — ok","other":1})"), "Grüße — ok");
    EXPECT_EQ(transcriptFor(200, R"({"text":42})"), "");
    EXPECT_EQ(transcriptFor(200, R"({})"), "");
    EXPECT_EQ(transcriptFor(200, "this is not json"), "");
    EXPECT_EQ(transcriptFor(200, ""), "");
    EXPECT_EQ(transcriptFor(200, R"(["text","a"])"), "");
}

TEST_F(CloudRecogniserTest, PayloadTooLargeIsTooLongWhateverTheBodySays) {
    const auto error = errorFor(413, R"({"message":"Recording exceeds 60 s"})");
    EXPECT_EQ(error.kind(), RecogniserError::Kind::tooLong);
    EXPECT_STREQ(error.what(), "That was longer than a dictation \u2014 record it in the app instead.");
}

TEST_F(CloudRecogniserTest, ServerErrorIsDescribedByItsMessage) {
    const auto error = errorFor(500, R"({"message":"Transcription backend is down."})");
    EXPECT_EQ(error.kind(), RecogniserError::Kind::server);
    EXPECT_EQ(error.status(), 500);
    EXPECT_EQ(error.message(), "Transcription backend is down.");
    EXPECT_EQ(error.description(), "Transcription backend is down.");
}

TEST_F(CloudRecogniserTest, ServerErrorWithoutAUsableMessageFallsBackToTheStatus) {
    for (const std::string body : {"", "{}", R"({"message":""})", R"({"message":7})", "<html>oops</html>"}) {
        const auto error = errorFor(500, body);
        EXPECT_EQ(error.kind(), RecogniserError::Kind::server) << body;
        EXPECT_EQ(error.message(), "") << body;
        EXPECT_EQ(error.description(), "Dictation failed (500).") << body;
    }
}

TEST_F(CloudRecogniserTest, OnlyOkIsSuccess) {
    const auto created = errorFor(201, R"({"text":"looks fine"})");
    EXPECT_EQ(created.kind(), RecogniserError::Kind::server);
    EXPECT_EQ(created.description(), "Dictation failed (201).");
    EXPECT_EQ(errorFor(401, R"({"message":"Session expired."})").description(), "Session expired.");
    EXPECT_EQ(errorFor(404, "").description(), "Dictation failed (404).");
}

TEST_F(CloudRecogniserTest, ClosedPortIsUnreachable) {
    auto r = recogniser("http://127.0.0.1:" + std::to_string(vell::test::closedLoopbackPort()));
    try {
        transcribe(r).get();
        FAIL() << "a closed port succeeded";
    } catch (const RecogniserError& error) {
        EXPECT_EQ(error.kind(), RecogniserError::Kind::unreachable);
        EXPECT_STREQ(error.what(), "Could not reach Vell. Check your connection.");
    }
}

TEST_F(CloudRecogniserTest, ServiceThatNeverAnswersIsUnreachableAfterTheIdleTimeOut) {
    server.answer({200, R"({"text":"too late"})", "application/json", 3.0});
    auto r = recogniser(server.baseURL(), 1.0);
    try {
        transcribe(r).get();
        FAIL() << "a silent service succeeded";
    } catch (const RecogniserError& error) {
        EXPECT_EQ(error.kind(), RecogniserError::Kind::unreachable);
    }
}

TEST_F(CloudRecogniserTest, WithoutASessionNothingIsSent) {
    session.token.reset();
    server.answer({200, R"({"text":"never"})"});
    auto r = recogniser(server.baseURL());
    auto task = transcribe(r);
    EXPECT_THROW(task.get(), SessionError);
    EXPECT_TRUE(server.received().empty());
    EXPECT_EQ(loop.backgroundJobs(), 0) << "not even the file is read";
}

TEST_F(CloudRecogniserTest, UnreadableFileFailsWithoutARequest) {
    fs::remove(audioFile);
    server.answer({200, R"({"text":"never"})"});
    auto r = recogniser(server.baseURL());
    auto task = transcribe(r);
    try {
        task.get();
        FAIL() << "a missing file was uploaded";
    } catch (const RecogniserError&) {
        FAIL() << "a file error is not a service error";
    } catch (const vell::Error& error) {
        EXPECT_NE(std::string(error.what()), "");
    }
    EXPECT_TRUE(server.received().empty());
}

TEST(RecogniserErrorTest, DescriptionsAreTheUserFacingSentences) {
    EXPECT_EQ(RecogniserError::server(503, "").description(), "Dictation failed (503).");
    EXPECT_EQ(RecogniserError::server(0, "").description(), "Dictation failed (0).");
    EXPECT_EQ(RecogniserError::server(500, "Busy.").description(), "Busy.");
    EXPECT_EQ(RecogniserError::tooLong().description(),
              "That was longer than a dictation \xE2\x80\x94 record it in the app instead.");
    EXPECT_EQ(RecogniserError::unreachable().description(), "Could not reach Vell. Check your connection.");
}

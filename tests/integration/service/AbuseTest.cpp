// The service under hostile or heavy use, over real loopback connections:
// huge texts, slow and idle clients, oversized heads and bodies, and more
// dictation than it can recognise at once. Each must leave it answering.
#include "RawConnection.h"
#include "RunningService.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <random>

using nlohmann::json;
using vell::test::RawConnection;
using vell::test::RunningService;

namespace {

std::string repeated(std::string_view piece, std::size_t length) {
    std::string text;
    while (text.size() < length) text += piece;
    text.resize(length);
    return text;
}

json fillRequest(const std::string& transcript) {
    return {{"transcript", transcript},
            {"fields",
             {{{"id", "p"}, {"type", "text"}, {"label", "Phone"}},
              {{"id", "e"}, {"type", "text"}, {"label", "Email"}},
              {{"id", "n"}, {"type", "textarea"}, {"label", "Notes"}}}}};
}

std::size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

std::string noiseWav(double seconds, unsigned seed) {
    std::mt19937 random(seed);
    std::string data;
    for (int i = 0; i < static_cast<int>(16000 * seconds); ++i) {
        auto sample = static_cast<std::int16_t>(static_cast<int>(random() % 8000) - 4000);
        data.append(reinterpret_cast<const char*>(&sample), 2);
    }
    auto u32 = [](std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [](std::uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
    return "RIFF" + u32(36 + static_cast<std::uint32_t>(data.size())) + "WAVEfmt " + u32(16) + u16(1) + u16(1) +
           u32(16000) + u32(32000) + u16(2) + u16(16) + "data" + u32(static_cast<std::uint32_t>(data.size())) + data;
}

}  // namespace

// Texts that once overflowed the stack or took quadratic time.
TEST(ServiceAbuse, LongFillTextsAnswerWithValuesOrA413) {
    RunningService running;
    auto client = running.client();
    auto auth = RunningService::bearer(running.signIn()["access_token"]);
    struct Row {
        const char* what;
        std::string text;
        int status;
    };
    const Row rows[] = {
        {"30,000 digits", repeated("5", 30'000), 200},
        {"30,000 characters of hyphenated prose", repeated("well-known state-of-the-art work-in-progress ", 30'000),
         200},
        {"30,000 characters of would-be addresses", repeated("a.b-c_d+e.", 30'000), 200},
        {"30,000 characters of spoken dots", repeated("a dot b dot ", 30'000), 200},
        {"100,000 digits", repeated("5", 100'000), 413},
        {"100,000 characters of prose", repeated("well-known state-of-the-art ", 100'000), 413},
    };
    for (auto& row : rows) {
        auto result = client.Post("/api/v1/fill", auth, fillRequest(row.text).dump(), "application/json");
        ASSERT_TRUE(result) << row.what;
        EXPECT_EQ(result->status, row.status) << row.what;
        if (row.status == 413) {
            EXPECT_FALSE(json::parse(result->body)["message"].get<std::string>().empty());
        }
    }
    EXPECT_EQ(
        json::parse(client.Post("/api/v1/fill", auth, fillRequest(repeated("5", 30'000)).dump(), "application/json")
                        ->body)["values"]["p"]
            .get<std::string>()
            .size(),
        30'000u);

    // A user's own long note takes the same road.
    auto note = client.Post("/api/v1/notes", auth, json{{"title", "Long"}, {"body", repeated("5", 30'000)}}.dump(),
                            "application/json");
    ASSERT_EQ(note->status, 201);
    json byNote = fillRequest("");
    byNote.erase("transcript");
    byNote["noteId"] = json::parse(note->body)["id"];
    EXPECT_EQ(client.Post("/api/v1/fill", auth, byNote.dump(), "application/json")->status, 200);
}

// Slow, idle and oversized clients hold no worker, so others are served
// while they wait; and a head that drips past the deadline is cut off.
TEST(ServiceAbuse, SlowIdleAndOversizedClientsDoNotStarveOthers) {
    vell::service::Service::Options options;
    options.requestSeconds = 2;
    RunningService running(options);
    auto auth = RunningService::bearer(running.signIn()["access_token"]);
    int port = running.service().port();
    std::string head = "POST /api/v1/fill HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nX-Slow: ";

    std::vector<std::unique_ptr<RawConnection>> dripping, idle;
    for (int i = 0; i < 64; ++i) {
        dripping.push_back(std::make_unique<RawConnection>(port));
        ASSERT_TRUE(dripping.back()->send(head));
    }
    for (int i = 0; i < 192; ++i) idle.push_back(std::make_unique<RawConnection>(port));

    auto client = running.client();
    for (int round = 0; round < 3; ++round) {
        for (auto& connection : dripping) connection->send("a");
        EXPECT_EQ(client.Get("/app")->status, 200);
        EXPECT_EQ(
            client.Post("/api/v1/fill", auth, fillRequest("phone is 555 0100").dump(), "application/json")->status,
            200);
    }

    // However steadily it drips, a head that is not finished in time is cut off.
    RawConnection slow(port);
    slow.send(head);
    bool cut = false;
    for (int i = 0; i < 100 && !cut; ++i) cut = !slow.send("a") || slow.receive(0.1).closed;
    EXPECT_TRUE(cut);

    // A declared body over the limit is refused before a byte of it is sent.
    RawConnection large(port);
    large.send("POST /api/v1/dictate HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nAuthorization: " +
               auth.begin()->second + "\r\nContent-Type: audio/m4a\r\n" + "Content-Length: 500000000\r\n\r\n");
    EXPECT_EQ(RawConnection::status(large.receive(5).bytes), 413);
}

// Four heads of 29 MB each: refused after the first few kilobytes, so the
// service's memory does not grow with them.
TEST(ServiceAbuse, HugeHeaderBlocksAreRefusedWithoutMemoryGrowth) {
    RunningService running;
    int port = running.service().port();
    std::string block = "GET /app HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
    std::string line = "X-Padding: " + std::string(1000, 'x') + "\r\n";
    while (block.size() < 29 * 1024 * 1024) block += line;
    std::size_t before = residentBytes();
    for (int i = 0; i < 4; ++i) {
        RawConnection connection(port);
        connection.send(block);
        int status = RawConnection::status(connection.receive(5).bytes);
        EXPECT_TRUE(status == 0 || status == 431 || status == 413) << status;  // 0: reset before the answer was read
    }
    EXPECT_LT(residentBytes(), before + 32 * 1024 * 1024);
    EXPECT_EQ(running.client().Get("/app")->status, 200);
}

// More dictations than it recognises at once: the surplus is told to come
// back later, and the page and the fill endpoint keep answering.
TEST(ServiceAbuse, DictationLoadLeavesThePageAndFillAnswering) {
    vell::service::Service::Options options;
    options.recognisers = 1;
    options.recognitionBacklog = 1;
    RunningService running(options);
    running.service().warmUp();
    auto auth = RunningService::bearer(running.signIn()["access_token"]);

    std::vector<std::future<httplib::Result>> uploads;
    for (unsigned i = 0; i < 6; ++i)
        uploads.push_back(std::async(std::launch::async, [&, i] {
            return running.client().Post("/api/v1/dictate", auth, noiseWav(20, i), "audio/wav");
        }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let the uploads land first
    auto client = running.client();
    EXPECT_EQ(client.Get("/app")->status, 200);
    EXPECT_EQ(client.Post("/api/v1/fill", auth, fillRequest("phone is 555 0100").dump(), "application/json")->status,
              200);

    int recognised = 0, busy = 0;
    for (auto& upload : uploads) {
        auto result = upload.get();
        ASSERT_TRUE(result);
        if (result->status == 503) {
            ++busy;
            EXPECT_FALSE(json::parse(result->body)["message"].get<std::string>().empty());
        }
        recognised += result->status == 200;
    }
    EXPECT_EQ(recognised + busy, 6);
    EXPECT_GE(recognised, 1);
    EXPECT_GE(busy, 1);
}

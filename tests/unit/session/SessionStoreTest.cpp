#include "session/SessionStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "FakeSessionBridge.h"
#include "ScratchFolder.h"

namespace vell::session {
namespace {

namespace fs = std::filesystem;

class SessionStoreTest : public ::testing::Test {
protected:
    void TearDown() override {
        std::error_code error;
        fs::permissions(scratch.path(), fs::perms::owner_all, error);  // a test may have locked it
    }

    std::unique_ptr<SessionStore> makeStore() {
        return std::make_unique<SessionStore>(dir, [this] { return bridge; });
    }
    void writeFile(const std::string& content) {
        fs::create_directories(dir);
        fs::permissions(dir, fs::perms::owner_all);
        std::ofstream(dir / "session.json", std::ios::binary) << content;
    }
    std::string readFile() const {
        std::ifstream in(dir / "session.json", std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    static unsigned mode(const fs::path& path) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) return 0;
        return info.st_mode & 07777;
    }
    // The marker file is private and no temporary file is left beside it.
    void expectPrivateMarker(const std::string& content) {
        EXPECT_EQ(readFile(), content);
        EXPECT_EQ(mode(dir), 0700u);
        EXPECT_EQ(mode(dir / "session.json"), 0600u);
        int files = 0;
        for ([[maybe_unused]] auto& entry : fs::directory_iterator(dir)) ++files;
        EXPECT_EQ(files, 1);
    }
    static bool signedOutError(Task<std::string>& task) {
        EXPECT_TRUE(task.done());
        try {
            task.get();
        } catch (const SessionError& error) {
            return std::string(error.what()) == "Sign in from the Vell panel first.";
        }
        return false;
    }

    test::ScratchFolder scratch{"vell-store"};
    fs::path dir = scratch / "data" / "Vell";
    std::shared_ptr<test::FakeSessionBridge> bridge = std::make_shared<test::FakeSessionBridge>();
};

TEST_F(SessionStoreTest, WithoutAFileNobodyIsSignedInAndTheWebViewIsNeverAsked) {
    auto store = makeStore();
    EXPECT_FALSE(store->isSignedIn());
    EXPECT_EQ(store->email(), std::nullopt);
    auto token = store->accessToken();
    EXPECT_TRUE(signedOutError(token));
    EXPECT_TRUE(bridge->tokenQuestions.empty());
    EXPECT_FALSE(fs::exists(dir)) << "reading never creates the folder";
}

TEST_F(SessionStoreTest, ReadsMarkersAndRejectsForeignContent) {
    struct Case {
        std::string content;
        bool signedIn;
        std::optional<std::string> email;
    };
    const Case cases[] = {
        {"{}", true, std::nullopt},
        {R"({"theme":"dark","n":3})", true, std::nullopt},
        {R"({"email":null})", true, std::nullopt},
        {R"({"email":"ada@example.com","x":[1]})", true, "ada@example.com"},
        {R"({"email":42})", false, std::nullopt},
        {R"({"email":{"a":1}})", false, std::nullopt},
        {"not json", false, std::nullopt},
        {"[1,2]", false, std::nullopt},
        {"\"text\"", false, std::nullopt},
        {"", false, std::nullopt},
        {R"({"email":"a@b.c")", false, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        writeFile(c.content);
        auto store = makeStore();
        EXPECT_EQ(store->isSignedIn(), c.signedIn);
        EXPECT_EQ(store->email(), c.email);
        store->migrateIfNeeded();
        EXPECT_TRUE(bridge->adopted.empty()) << "a marker is never migrated";
        EXPECT_EQ(readFile(), c.content) << "reading and migrating leave a marker or a foreign file alone";
    }
}

TEST_F(SessionStoreTest, LegacyFileIsHandedToTheWebApplicationOnceAndReducedToAPrivateMarker) {
    writeFile(R"({"accessToken":"at-1","refreshToken":"rt-1","expiresAt":1767225600,"email":"ada@example.com"})");
    fs::permissions(dir / "session.json", fs::perms(0644));
    auto store = makeStore();
    EXPECT_TRUE(store->isSignedIn());
    EXPECT_EQ(store->email(), "ada@example.com");

    store->migrateIfNeeded();
    ASSERT_EQ(bridge->adopted.size(), 1u);
    EXPECT_EQ(bridge->adopted[0].accessToken, "at-1");
    EXPECT_EQ(bridge->adopted[0].refreshToken, "rt-1");
    EXPECT_EQ(bridge->adopted[0].expiresAt, 1767225600.0);
    expectPrivateMarker(R"({"email":"ada@example.com"})");

    store->migrateIfNeeded();
    EXPECT_EQ(bridge->adopted.size(), 1u) << "the legacy session is handed over only once";
    EXPECT_EQ(makeStore()->email(), "ada@example.com");
}

TEST_F(SessionStoreTest, LegacyFileWithoutAnAddressBecomesAnEmptyMarker) {
    writeFile(R"({"accessToken":"at","refreshToken":"rt","expiresAt":12.5,"email":null})");
    auto store = makeStore();
    store->migrateIfNeeded();
    ASSERT_EQ(bridge->adopted.size(), 1u);
    EXPECT_EQ(bridge->adopted[0].expiresAt, 12.5);
    expectPrivateMarker("{}");
    EXPECT_TRUE(store->isSignedIn());
}

TEST_F(SessionStoreTest, TokenFileWithoutANumericExpiryIsAPlainMarker) {
    for (std::string content : {R"({"accessToken":"at","refreshToken":"rt","email":"b@x.io"})",
                                R"({"accessToken":"at","refreshToken":"rt","expiresAt":"soon","email":"b@x.io"})"}) {
        SCOPED_TRACE(content);
        writeFile(content);
        auto store = makeStore();
        EXPECT_TRUE(store->isSignedIn());
        EXPECT_EQ(store->email(), "b@x.io");
        store->migrateIfNeeded();
        EXPECT_TRUE(bridge->adopted.empty());
        EXPECT_EQ(readFile(), content) << "left unchanged until the next write";
    }
}

TEST_F(SessionStoreTest, AdoptHandsTheTokensOverAndWritesAPrivateMarkerEveryTime) {
    ::mode_t previous = ::umask(0);  // even a permissive umask yields private files
    auto store = makeStore();
    store->adopt("at", "rt", 99.0, std::nullopt);
    ASSERT_EQ(bridge->adopted.size(), 1u);
    EXPECT_EQ(bridge->adopted[0].accessToken, "at");
    EXPECT_EQ(bridge->adopted[0].refreshToken, "rt");
    EXPECT_EQ(bridge->adopted[0].expiresAt, 99.0);
    EXPECT_TRUE(store->isSignedIn());
    EXPECT_EQ(store->email(), std::nullopt);
    expectPrivateMarker("{}");

    store->adopt("at2", "rt2", std::nullopt, "grace@example.com");
    EXPECT_EQ(store->email(), "grace@example.com");
    expectPrivateMarker(R"({"email":"grace@example.com"})");
    ::umask(previous);

    auto reloaded = makeStore();
    EXPECT_TRUE(reloaded->isSignedIn());
    EXPECT_EQ(reloaded->email(), "grace@example.com");
}

TEST_F(SessionStoreTest, AWriteReplacesAReadableOldFileWithAPrivateOne) {
    writeFile(R"({"email":"old@example.com"})");
    fs::permissions(dir / "session.json", fs::perms(0666));
    auto store = makeStore();
    store->adopt("at", "rt", std::nullopt, "new@example.com");
    expectPrivateMarker(R"({"email":"new@example.com"})");
}

TEST_F(SessionStoreTest, FileFailuresAreSilentAndTheRunGoesOnAsIfWritten) {
    fs::create_directories(scratch / "data");
    std::ofstream(dir) << "a file where the folder should be";
    auto store = makeStore();
    store->adopt("at", "rt", std::nullopt, "ada@example.com");
    EXPECT_TRUE(store->isSignedIn());
    EXPECT_EQ(store->email(), "ada@example.com");
    store->clear();
    EXPECT_FALSE(store->isSignedIn());
}

TEST_F(SessionStoreTest, AccessTokenAsksTheWebApplicationWithFourAttempts) {
    writeFile("{}");
    bridge->token = "fresh-token";
    auto store = makeStore();
    auto token = store->accessToken();
    ASSERT_TRUE(token.done());
    EXPECT_EQ(token.get(), "fresh-token");
    EXPECT_EQ(bridge->tokenQuestions, std::vector<int>{4});
    EXPECT_TRUE(store->isSignedIn());
    EXPECT_EQ(readFile(), "{}");
}

TEST_F(SessionStoreTest, NoTokenFromTheWebApplicationSignsOutAndDeletesTheFile) {
    for (std::optional<std::string> answer : {std::optional<std::string>(), std::optional<std::string>("")}) {
        writeFile(R"({"email":"ada@example.com"})");
        bridge->token = answer;
        auto store = makeStore();
        auto token = store->accessToken();
        EXPECT_TRUE(signedOutError(token));
        EXPECT_FALSE(store->isSignedIn());
        EXPECT_EQ(store->email(), std::nullopt);
        EXPECT_FALSE(fs::exists(dir / "session.json"));
        auto again = store->accessToken();
        EXPECT_TRUE(signedOutError(again));
        EXPECT_EQ(bridge->tokenQuestions.size(), answer ? 2u : 1u) << "signed out: the web view is not asked again";
    }
}

TEST_F(SessionStoreTest, ASignInDuringAFailingTokenQuestionSurvivesIt) {
    writeFile("{}");
    auto store = makeStore();
    bridge->beforeAnswer = [&] { store->adopt("new-at", "new-rt", std::nullopt, "new@example.com"); };
    auto token = store->accessToken();
    EXPECT_TRUE(signedOutError(token));
    EXPECT_TRUE(store->isSignedIn());
    EXPECT_EQ(store->email(), "new@example.com");
    EXPECT_EQ(readFile(), R"({"email":"new@example.com"})");
}

TEST_F(SessionStoreTest, ClearSignsOutAndErasesTheWebApplicationEvenWhenSignedOut) {
    writeFile(R"({"accessToken":"at","refreshToken":"rt","expiresAt":1})");
    auto store = makeStore();
    store->clear();
    EXPECT_FALSE(store->isSignedIn());
    EXPECT_FALSE(fs::exists(dir / "session.json"));
    EXPECT_EQ(bridge->clears, 1);
    store->migrateIfNeeded();
    EXPECT_TRUE(bridge->adopted.empty()) << "clearing drops the legacy session too";

    store->clear();
    EXPECT_EQ(bridge->clears, 2);
}

TEST_F(SessionStoreTest, WithoutAWebViewNothingIsHandedOverAndNoTokenComes) {
    auto store = std::make_unique<SessionStore>(dir, [] { return std::shared_ptr<SessionBridge>(); });
    store->adopt("at", "rt", std::nullopt, std::nullopt);
    EXPECT_TRUE(store->isSignedIn());
    auto token = store->accessToken();
    EXPECT_TRUE(signedOutError(token));
    store->clear();
    EXPECT_FALSE(store->isSignedIn());
}

TEST_F(SessionStoreTest, ReadersOnOtherThreadsSeeWholeStates) {
    auto store = makeStore();
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i)
        readers.emplace_back([&] {
            while (!stop) {
                auto email = store->email();
                if (email && *email != "a@example.com" && *email != "b@example.com") ++torn;
                (void)store->isSignedIn();
            }
        });
    for (int i = 0; i < 200; ++i) {
        store->adopt("at", "rt", std::nullopt, i % 2 ? "a@example.com" : "b@example.com");
        if (i % 3 == 0) store->clear();
    }
    stop = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_TRUE(store->isSignedIn());
    expectPrivateMarker(R"({"email":"a@example.com"})");
}

TEST_F(SessionStoreTest, DefaultDirectoryFollowsTheXdgDataHome) {
    const char* savedData = std::getenv("XDG_DATA_HOME");
    const char* savedHome = std::getenv("HOME");
    std::string data = savedData ? savedData : "", home = savedHome ? savedHome : "";

    ::setenv("XDG_DATA_HOME", "/srv/data", 1);
    EXPECT_EQ(SessionStore::defaultDirectory(), fs::path("/srv/data/Vell"));
    ::setenv("HOME", "/home/ada", 1);
    ::setenv("XDG_DATA_HOME", "relative/data", 1);
    EXPECT_EQ(SessionStore::defaultDirectory(), fs::path("/home/ada/.local/share/Vell"));
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(SessionStore::defaultDirectory(), fs::path("/home/ada/.local/share/Vell"));

    savedData ? ::setenv("XDG_DATA_HOME", data.c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
    savedHome ? ::setenv("HOME", home.c_str(), 1) : ::unsetenv("HOME");
}

}  // namespace
}  // namespace vell::session

#include "session/SessionStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "FakeSessionBridge.h"
#include "ScratchFolder.h"

namespace vell::session {
namespace {

namespace fs = std::filesystem;

class SessionStoreTest : public ::testing::Test {
protected:
    std::unique_ptr<SessionStore> makeStore() {
        return std::make_unique<SessionStore>(dir, [this] { return bridge; });
    }
    void writeFile(const std::string& content, fs::perms perms = fs::perms(0600)) {
        fs::create_directories(dir);
        fs::permissions(dir, fs::perms::owner_all);
        std::ofstream(dir / "session.json", std::ios::binary | std::ios::trunc) << content;
        fs::permissions(dir / "session.json", perms);
    }
    std::string readFile() const {
        std::ostringstream out;
        out << std::ifstream(dir / "session.json", std::ios::binary).rdbuf();
        return out.str();
    }
    static unsigned mode(const fs::path& path) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
    }
    // The marker file is private and no temporary file is left beside it.
    void expectPrivateMarker(const std::string& content) {
        EXPECT_EQ(readFile(), content);
        EXPECT_EQ(mode(dir), 0700u);
        EXPECT_EQ(mode(dir / "session.json"), 0600u);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
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
    auto token = store->accessToken();
    EXPECT_TRUE(signedOutError(token));
    EXPECT_TRUE(bridge->tokenQuestions.empty());
    EXPECT_FALSE(fs::exists(dir)) << "reading never creates the folder";
}

// Markers, foreign content, and token files without a numeric expiry (not a
// legacy session): read, never migrated, never rewritten.
TEST_F(SessionStoreTest, ReadsMarkersAndRejectsForeignContent) {
    struct Case {
        std::string content;
        bool signedIn;
        std::optional<std::string> email;
    };
    const Case cases[] = {
        {"{}", true, std::nullopt},
        {R"({"email":null})", true, std::nullopt},
        {R"({"email":"ada@example.com","x":[1]})", true, "ada@example.com"},
        {R"({"accessToken":"at","refreshToken":"rt","email":"b@x.io"})", true, "b@x.io"},
        {R"({"accessToken":"at","refreshToken":"rt","expiresAt":"soon"})", true, std::nullopt},
        {R"({"email":42})", false, std::nullopt},
        {"not json", false, std::nullopt},
        {"[1,2]", false, std::nullopt},
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
        EXPECT_TRUE(bridge->adopted.empty());
        EXPECT_EQ(readFile(), c.content);
    }
}

TEST_F(SessionStoreTest, LegacyFileIsHandedToTheWebApplicationOnceAndReducedToAPrivateMarker) {
    struct Case {
        std::string email, marker;
    };
    for (const Case& c : {Case{R"("ada@example.com")", R"({"email":"ada@example.com"})"}, Case{"null", "{}"}}) {
        SCOPED_TRACE(c.email);
        bridge->adopted.clear();
        writeFile(R"({"accessToken":"at-1","refreshToken":"rt-1","expiresAt":12.5,"email":)" + c.email + "}",
                  fs::perms(0644));
        auto store = makeStore();
        store->migrateIfNeeded();
        ASSERT_EQ(bridge->adopted.size(), 1u);
        EXPECT_EQ(bridge->adopted[0].accessToken, "at-1");
        EXPECT_EQ(bridge->adopted[0].refreshToken, "rt-1");
        EXPECT_EQ(bridge->adopted[0].expiresAt, 12.5);
        expectPrivateMarker(c.marker);
        store->migrateIfNeeded();
        EXPECT_EQ(bridge->adopted.size(), 1u) << "the legacy session is handed over only once";
        EXPECT_TRUE(makeStore()->isSignedIn());
    }
}

TEST_F(SessionStoreTest, AdoptHandsTheTokensOverAndReplacesAReadableFileWithAPrivateMarker) {
    writeFile(R"({"email":"old@example.com"})", fs::perms(0666));
    ::mode_t previous = ::umask(0);  // even a permissive umask yields private files
    auto store = makeStore();
    store->adopt("at", "rt", 99.0, std::nullopt);
    ASSERT_EQ(bridge->adopted.size(), 1u);
    EXPECT_EQ(bridge->adopted[0].accessToken, "at");
    EXPECT_EQ(bridge->adopted[0].expiresAt, 99.0);
    EXPECT_EQ(store->email(), std::nullopt);
    expectPrivateMarker("{}");
    store->adopt("at2", "rt2", std::nullopt, "grace@example.com");
    ::umask(previous);
    expectPrivateMarker(R"({"email":"grace@example.com"})");
    EXPECT_EQ(makeStore()->email(), "grace@example.com");
}

TEST_F(SessionStoreTest, FileFailuresAreSilentAndTheRunGoesOnAsIfWritten) {
    fs::create_directories(scratch / "data");
    std::ofstream(dir) << "a file where the folder should be";
    auto store = makeStore();
    store->adopt("at", "rt", std::nullopt, "ada@example.com");
    EXPECT_EQ(store->email(), "ada@example.com");
    store->clear();
    EXPECT_FALSE(store->isSignedIn());
}

// One question of four attempts; no token (or an empty one) signs out
// everywhere, and a signed-out store does not ask again.
TEST_F(SessionStoreTest, AccessTokenComesFromTheWebApplicationAndNoneSignsOut) {
    for (std::optional<std::string> answer :
         {std::optional<std::string>("fresh-token"), std::optional<std::string>(), std::optional<std::string>("")}) {
        SCOPED_TRACE(answer.value_or("none"));
        writeFile(R"({"email":"ada@example.com"})");
        bridge->token = answer;
        bridge->tokenQuestions.clear();
        auto store = makeStore();
        auto token = store->accessToken();
        if (answer && !answer->empty()) {
            EXPECT_EQ(token.get(), "fresh-token");
            EXPECT_EQ(readFile(), R"({"email":"ada@example.com"})");
        } else {
            EXPECT_TRUE(signedOutError(token));
            EXPECT_EQ(store->email(), std::nullopt);
            EXPECT_FALSE(fs::exists(dir / "session.json"));
            auto again = store->accessToken();
            EXPECT_TRUE(signedOutError(again));
        }
        EXPECT_EQ(bridge->tokenQuestions, std::vector<int>{4});
    }
}

TEST_F(SessionStoreTest, ASignInDuringAFailingTokenQuestionSurvivesIt) {
    writeFile("{}");
    auto store = makeStore();
    bridge->beforeAnswer = [&] { store->adopt("new-at", "new-rt", std::nullopt, "new@example.com"); };
    auto token = store->accessToken();
    EXPECT_TRUE(signedOutError(token));
    EXPECT_EQ(store->email(), "new@example.com");
    EXPECT_EQ(readFile(), R"({"email":"new@example.com"})");
}

TEST_F(SessionStoreTest, ClearSignsOutAndErasesTheWebApplicationEvenWhenSignedOut) {
    writeFile(R"({"accessToken":"at","refreshToken":"rt","expiresAt":1})");
    auto store = makeStore();
    store->clear();
    EXPECT_FALSE(store->isSignedIn());
    EXPECT_FALSE(fs::exists(dir / "session.json"));
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
}

TEST_F(SessionStoreTest, DefaultDirectoryFollowsTheXdgDataHome) {
    const char* savedData = std::getenv("XDG_DATA_HOME");
    const char* savedHome = std::getenv("HOME");
    std::string data = savedData ? savedData : "", home = savedHome ? savedHome : "";
    ::setenv("HOME", "/home/ada", 1);
    for (auto [value, expected] : {std::pair<const char*, const char*>{"/srv/data", "/srv/data/Vell"},
                                   {"relative/data", "/home/ada/.local/share/Vell"},  // relative: ignored
                                   {nullptr, "/home/ada/.local/share/Vell"}}) {
        value ? ::setenv("XDG_DATA_HOME", value, 1) : ::unsetenv("XDG_DATA_HOME");
        EXPECT_EQ(SessionStore::defaultDirectory(), fs::path(expected)) << (value ? value : "unset");
    }
    savedData ? ::setenv("XDG_DATA_HOME", data.c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
    savedHome ? ::setenv("HOME", home.c_str(), 1) : ::unsetenv("HOME");
}

}  // namespace
}  // namespace vell::session

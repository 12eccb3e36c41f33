#include "Accounts.h"

#include <gtest/gtest.h>

#include <functional>

using vell::service::Accounts;
using vell::service::Database;

namespace {

struct AccountsTest : ::testing::Test {
    Database db{":memory:"};
    double now = 1'800'000'000;
    Accounts accounts{db, [this] { return now; }, Accounts::Options{3600, 86400}};
};

}  // namespace

TEST_F(AccountsTest, SignUpThenSignInWithTheSamePassword) {
    EXPECT_TRUE(accounts.empty());
    auto first = accounts.signUp("  Ada@Example.com ", "correct horse");
    EXPECT_EQ(first.email, "ada@example.com");
    EXPECT_DOUBLE_EQ(first.expiresAt, now + 3600);
    EXPECT_FALSE(accounts.empty());

    auto second = accounts.signIn("ADA@example.com", "correct horse");
    EXPECT_NE(second.accessToken, first.accessToken);
    EXPECT_EQ(accounts.authenticate(second.accessToken)->email, "ada@example.com");
    EXPECT_THROW(accounts.signIn("ada@example.com", "wrong horse"), Accounts::Refused);
    EXPECT_THROW(accounts.signIn("nobody@example.com", "correct horse"), Accounts::Refused);
}

TEST_F(AccountsTest, SignUpRefusesDuplicatesAndBadInput) {
    accounts.signUp("ada@example.com", "correct horse");
    EXPECT_THROW(accounts.signUp("ADA@example.com", "another one"), Accounts::Refused);
    EXPECT_THROW(accounts.signUp("not-an-address", "correct horse"), Accounts::Refused);
    EXPECT_THROW(accounts.signUp("a b@example.com", "correct horse"), Accounts::Refused);
    EXPECT_THROW(accounts.signUp("grace@example.com", "short"), Accounts::Refused);
}

TEST_F(AccountsTest, PasswordsAndTokensAreNotStoredInTheClear) {
    auto session = accounts.signUp("ada@example.com", "correct horse");
    for (auto& table : {"accounts", "sessions"})
        for (auto& row : db.query(std::string("SELECT * FROM ") + table))
            for (auto& value : row) {
                auto text = Database::text(value);
                EXPECT_EQ(text.find("correct horse"), std::string::npos);
                EXPECT_EQ(text.find(session.accessToken), std::string::npos);
                EXPECT_EQ(text.find(session.refreshToken), std::string::npos);
            }
}

TEST_F(AccountsTest, AccessTokensExpireAfterTheirLifetime) {
    auto session = accounts.signUp("ada@example.com", "correct horse");
    now += 3599;
    EXPECT_TRUE(accounts.authenticate(session.accessToken));
    now += 1;
    EXPECT_FALSE(accounts.authenticate(session.accessToken));
    EXPECT_FALSE(accounts.authenticate(""));
    EXPECT_FALSE(accounts.authenticate(session.refreshToken));
}

TEST_F(AccountsTest, RefreshRotatesBothTokensAndRetiresTheOldOnes) {
    auto session = accounts.signUp("ada@example.com", "correct horse");
    now += 4000;  // access token expired, refresh token still good
    auto renewed = accounts.refresh(session.refreshToken);
    EXPECT_EQ(renewed.email, "ada@example.com");
    EXPECT_DOUBLE_EQ(renewed.expiresAt, now + 3600);
    EXPECT_TRUE(accounts.authenticate(renewed.accessToken));
    EXPECT_NO_THROW(accounts.refresh(accounts.refresh(renewed.refreshToken).refreshToken));
}

// One table: each way a session ends, and what must end with it.
TEST_F(AccountsTest, SessionsEndWithTheirHandOffsWhicheverWayTheyEnd) {
    struct Case {
        const char* how;
        std::function<void(Accounts&, const Accounts::Session& first, const Accounts::Session& current)> end;
    };
    const Case cases[] = {
        {"sign-out by access token", [](Accounts& a, auto&, auto& current) { a.signOut(current.accessToken); }},
        {"sign-out by refresh token",
         [](Accounts& a, auto&, auto& current) { a.signOutByRefresh(current.refreshToken); }},
        {"a retired refresh token comes back",
         [](Accounts& a, auto& first, auto&) { EXPECT_THROW(a.refresh(first.refreshToken), Accounts::Refused); }},
    };
    for (auto& c : cases) {
        auto first =
            accounts.signUp(std::string("ada+") + std::to_string(&c - cases) + "@example.com", "correct horse");
        auto current = accounts.refresh(first.refreshToken);
        auto parent = accounts.authenticate(current.accessToken);
        auto desktop = accounts.startSession(parent->accountId, parent->sessionId);
        auto unrelated = accounts.startSession(parent->accountId);
        now += 4000;  // every access token has expired: only refresh tokens are left
        c.end(accounts, first, current);
        EXPECT_THROW(accounts.refresh(current.refreshToken), Accounts::Refused) << c.how;
        EXPECT_THROW(accounts.refresh(desktop.refreshToken), Accounts::Refused) << c.how;
        EXPECT_NO_THROW(accounts.refresh(unrelated.refreshToken)) << c.how;
    }
}

TEST_F(AccountsTest, ASessionKeepsOnlyItsNewestHandOffs) {
    auto browser = accounts.signUp("ada@example.com", "correct horse");
    auto parent = accounts.authenticate(browser.accessToken);
    std::vector<Accounts::Session> handOffs;
    for (int i = 0; i < 200; ++i) handOffs.push_back(accounts.startSession(parent->accountId, parent->sessionId));
    EXPECT_EQ(db.query("SELECT 1 FROM sessions WHERE parent_id IS NOT NULL").size(), 4u);
    EXPECT_TRUE(accounts.authenticate(handOffs.back().accessToken));
    EXPECT_FALSE(accounts.authenticate(handOffs.front().accessToken));
}

TEST_F(AccountsTest, RefreshTokensExpireToo) {
    auto session = accounts.signUp("ada@example.com", "correct horse");
    now += 86400;
    EXPECT_THROW(accounts.refresh(session.refreshToken), Accounts::Refused);
}

TEST_F(AccountsTest, SessionsAreIndependentAndSignOutEndsOnlyOne) {
    auto browser = accounts.signUp("ada@example.com", "correct horse");
    auto desktop = accounts.startSession(accounts.authenticate(browser.accessToken)->accountId);
    accounts.refresh(browser.refreshToken);
    EXPECT_NO_THROW(accounts.refresh(desktop.refreshToken));

    auto other = accounts.signIn("ada@example.com", "correct horse");
    accounts.signOut(other.accessToken);
    EXPECT_FALSE(accounts.authenticate(other.accessToken));
    EXPECT_THROW(accounts.refresh(other.refreshToken), Accounts::Refused);
}

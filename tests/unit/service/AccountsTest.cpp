#include "Accounts.h"

#include <gtest/gtest.h>

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
    EXPECT_THROW(accounts.refresh(session.refreshToken), Accounts::Refused);
    EXPECT_NO_THROW(accounts.refresh(renewed.refreshToken));
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

#include "service/Accounts.h"
#include "service/Notes.h"

#include <gtest/gtest.h>

#include <functional>

using vell::service::Accounts;
using vell::service::Database;
using vell::service::Notes;

namespace {

struct AccountsTest : ::testing::Test {
    Database db{":memory:"};
    double now = 1'800'000'000;
    Accounts accounts{db, [this] { return now; }, Accounts::Options{3600, 86400}};
};

}  // namespace

TEST_F(AccountsTest, SignUpThenSignInWithTheSamePasswordOnly) {
    auto first = accounts.signUp("  Ada@Example.com ", "correct horse");
    EXPECT_EQ(first.email, "ada@example.com");
    auto second = accounts.signIn("ADA@example.com", "correct horse");
    EXPECT_NE(second.accessToken, first.accessToken);
    EXPECT_EQ(accounts.authenticate(second.accessToken)->email, "ada@example.com");
    EXPECT_THROW(accounts.signIn("ada@example.com", "wrong horse"), Accounts::Refused);
    EXPECT_THROW(accounts.signIn("nobody@example.com", "correct horse"), Accounts::Refused);
    EXPECT_THROW(accounts.signUp("grace@example.com", "short"), Accounts::Refused);
    for (auto email :
         {"ADA@example.com", "not-an-address", "a b@example.com", "ada@exa\x01mple.com", "ada@example.com\x7f"})
        EXPECT_THROW(accounts.signUp(email, "another horse"), Accounts::Refused) << email;
}

TEST_F(AccountsTest, PasswordsAndTokensAreNotStoredInTheClear) {
    auto session = accounts.signUp("ada@example.com", "correct horse");
    for (auto& table : {"accounts", "sessions"})
        for (auto& row : db.query(std::string("SELECT * FROM ") + table))
            for (auto& value : row)
                for (auto& secret : {std::string("correct horse"), session.accessToken, session.refreshToken})
                    EXPECT_EQ(Database::text(value).find(secret), std::string::npos) << table;
}

TEST_F(AccountsTest, TokensExpireAfterTheirLifetimesAndRefreshRotatesBoth) {
    auto session = accounts.signUp("ada@example.com", "correct horse");
    now += 3599;
    EXPECT_TRUE(accounts.authenticate(session.accessToken));
    EXPECT_FALSE(accounts.authenticate(session.refreshToken));
    now += 1;
    EXPECT_FALSE(accounts.authenticate(session.accessToken));
    auto renewed = accounts.refresh(session.refreshToken);
    EXPECT_EQ(renewed.email, "ada@example.com");
    EXPECT_DOUBLE_EQ(renewed.expiresAt, now + 3600);
    EXPECT_TRUE(accounts.authenticate(renewed.accessToken));
    now += 86400;
    EXPECT_THROW(accounts.refresh(renewed.refreshToken), Accounts::Refused);
}

// Each way a session ends, and what must end with it: its hand-offs to the
// desktop, but not another session of the same account.
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
        auto first = accounts.signUp("ada+" + std::to_string(&c - cases) + "@example.com", "correct horse");
        auto current = accounts.refresh(first.refreshToken);
        auto parent = accounts.authenticate(current.accessToken);
        auto desktop = accounts.startSession(parent->accountId, parent->sessionId);
        auto unrelated = accounts.startSession(parent->accountId);
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

TEST_F(AccountsTest, EachAccountSeesOnlyItsOwnNotes) {
    Notes notes(db);
    auto ada = accounts.authenticate(accounts.signUp("ada@example.com", "correct horse").accessToken)->accountId;
    auto grace = accounts.authenticate(accounts.signUp("grace@example.com", "correct horse").accessToken)->accountId;
    auto note = notes.create(ada, "Shipping", "Name: Ada", now);
    notes.create(ada, "Second", "", now + 1);
    EXPECT_EQ(notes.list(ada).front().title, "Second");  // newest first
    EXPECT_TRUE(notes.list(grace).empty());
    EXPECT_FALSE(notes.find(grace, note.id));
    EXPECT_EQ(notes.update(grace, note.id, {"Stolen", "", {}}, now).outcome, Notes::Saved::missing);
    EXPECT_FALSE(notes.remove(grace, note.id));
    EXPECT_EQ(notes.find(ada, note.id)->body, "Name: Ada");
    EXPECT_TRUE(notes.remove(ada, note.id));
    EXPECT_FALSE(notes.find(ada, note.id));
}

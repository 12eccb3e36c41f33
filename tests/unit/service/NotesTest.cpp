#include "Accounts.h"
#include "Notes.h"

#include <gtest/gtest.h>

using vell::service::Accounts;
using vell::service::Database;
using vell::service::Notes;

TEST(Notes, EachAccountSeesOnlyItsOwnNotes) {
    Database db(":memory:");
    double now = 1'800'000'000;
    Accounts accounts(db, [&] { return now; }, {});
    Notes notes(db);
    auto ada = accounts.authenticate(accounts.signUp("ada@example.com", "correct horse").accessToken)->accountId;
    auto grace = accounts.authenticate(accounts.signUp("grace@example.com", "correct horse").accessToken)->accountId;

    auto note = notes.create(ada, "Shipping", "Name: Ada", now);
    notes.create(ada, "Second", "", now + 1);
    EXPECT_EQ(notes.list(ada).size(), 2u);
    EXPECT_EQ(notes.list(ada).front().title, "Second");  // newest first
    EXPECT_TRUE(notes.list(grace).empty());

    EXPECT_FALSE(notes.find(grace, note.id));
    EXPECT_FALSE(notes.update(grace, note.id, "Stolen", "", now));
    EXPECT_FALSE(notes.remove(grace, note.id));
    EXPECT_EQ(notes.find(ada, note.id)->body, "Name: Ada");

    EXPECT_EQ(notes.update(ada, note.id, "Shipping", "Name: Ada Lovelace", now + 2)->body, "Name: Ada Lovelace");
    EXPECT_TRUE(notes.remove(ada, note.id));
    EXPECT_FALSE(notes.find(ada, note.id));
}

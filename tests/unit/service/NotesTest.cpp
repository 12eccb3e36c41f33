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
    EXPECT_EQ(notes.update(grace, note.id, {"Stolen", "", {}}, now).outcome, Notes::Saved::Missing);
    EXPECT_FALSE(notes.remove(grace, note.id));
    EXPECT_EQ(notes.find(ada, note.id)->body, "Name: Ada");

    EXPECT_EQ(notes.update(ada, note.id, {"Shipping", "Name: Ada Lovelace", {}}, now + 2).note->body,
              "Name: Ada Lovelace");
    EXPECT_TRUE(notes.remove(ada, note.id));
    EXPECT_FALSE(notes.find(ada, note.id));
}

// Two editors opened version 1; the second save must not erase the first.
TEST(Notes, SavesKeepWhatTheyDoNotNameAndStaleOnesAreRefused) {
    Database db(":memory:");
    Accounts accounts(db, [] { return 1.0; }, {});
    Notes notes(db);
    auto ada = accounts.authenticate(accounts.signUp("ada@example.com", "correct horse").accessToken)->accountId;
    auto id = notes.create(ada, "Shipping", "Name: Ada", 1).id;

    auto titled = notes.update(ada, id, {"Address", std::nullopt, 1}, 2);
    ASSERT_EQ(titled.outcome, Notes::Saved::Done);
    EXPECT_EQ(titled.note->body, "Name: Ada");
    EXPECT_EQ(titled.note->version, 2);

    auto stale = notes.update(ada, id, {std::nullopt, "Name: Grace", 1}, 3);
    EXPECT_EQ(stale.outcome, Notes::Saved::Stale);
    EXPECT_EQ(stale.note->title, "Address");
    EXPECT_EQ(notes.find(ada, id)->body, "Name: Ada");
}

#include "service/Notes.h"

#include <sodium.h>

namespace vell::service {

namespace {

// Note ids are random, so they reveal nothing about other accounts' notes.
std::string newNoteId() {
    unsigned char bytes[12];
    randombytes_buf(bytes, sizeof bytes);
    char text[sizeof bytes * 2 + 1];
    sodium_bin2hex(text, sizeof text, bytes, sizeof bytes);
    return std::string("n") + text;
}

Notes::Note noteFrom(const Database::Row& row) {
    return {Database::text(row[0]), Database::text(row[1]), Database::text(row[2]), Database::real(row[3]),
            Database::integer(row[4])};
}

}  // namespace

Notes::Notes(Database& db) : db_(db) {
    if (sodium_init() < 0) throw std::runtime_error("libsodium could not start");
    db_.execute(R"(
        CREATE TABLE IF NOT EXISTS notes (
            id TEXT PRIMARY KEY,
            account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
            title TEXT NOT NULL,
            body TEXT NOT NULL,
            updated REAL NOT NULL);
        CREATE INDEX IF NOT EXISTS notes_by_account ON notes(account_id, updated);
    )");
    for (auto& column : db_.query("PRAGMA table_info(notes)"))
        if (Database::text(column[1]) == "version") return;
    db_.execute("ALTER TABLE notes ADD COLUMN version INTEGER NOT NULL DEFAULT 1");
}

std::vector<Notes::Note> Notes::list(std::int64_t accountId) {
    std::vector<Note> notes;
    for (auto& row :
         db_.query("SELECT id, title, body, updated, version FROM notes WHERE account_id = ? ORDER BY updated DESC",
                   {accountId}))
        notes.push_back(noteFrom(row));
    return notes;
}

std::optional<Notes::Note> Notes::find(std::int64_t accountId, const std::string& id) {
    auto rows = db_.query("SELECT id, title, body, updated, version FROM notes WHERE account_id = ? AND id = ?",
                          {accountId, id});
    if (rows.empty()) return std::nullopt;
    return noteFrom(rows[0]);
}

Notes::Note Notes::create(std::int64_t accountId, const std::string& title, const std::string& body, double now) {
    Note note{newNoteId(), title, body, now, 1};
    db_.query("INSERT INTO notes (id, account_id, title, body, updated) VALUES (?, ?, ?, ?, ?)",
              {note.id, accountId, title, body, now});
    return note;
}

Notes::Saved Notes::update(std::int64_t accountId, const std::string& id, const Change& change, double now) {
    auto named = [](const auto& part) { return static_cast<std::int64_t>(part.has_value()); };
    // One statement checks the version and writes, so two saves from the
    // same version cannot both succeed.
    auto rows = db_.query(
        "UPDATE notes SET title = CASE WHEN ? THEN ? ELSE title END, body = CASE WHEN ? THEN ? ELSE body END, "
        "updated = ?, version = version + 1 "
        "WHERE account_id = ? AND id = ? AND (NOT ? OR version = ?) RETURNING id, title, body, updated, version",
        {named(change.title), change.title.value_or(""), named(change.body), change.body.value_or(""), now, accountId,
         id, named(change.basedOn), change.basedOn.value_or(0)});
    if (!rows.empty()) return {Saved::done, noteFrom(rows[0])};
    auto current = find(accountId, id);
    return {current ? Saved::stale : Saved::missing, current};
}

bool Notes::remove(std::int64_t accountId, const std::string& id) {
    return !db_.query("DELETE FROM notes WHERE account_id = ? AND id = ? RETURNING id", {accountId, id}).empty();
}

}  // namespace vell::service

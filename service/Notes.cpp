#include "Notes.h"

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
    return {Database::text(row[0]), Database::text(row[1]), Database::text(row[2]), Database::real(row[3])};
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
}

std::vector<Notes::Note> Notes::list(std::int64_t accountId) {
    std::vector<Note> notes;
    for (auto& row : db_.query("SELECT id, title, body, updated FROM notes WHERE account_id = ? ORDER BY updated DESC",
                               {accountId}))
        notes.push_back(noteFrom(row));
    return notes;
}

std::optional<Notes::Note> Notes::find(std::int64_t accountId, const std::string& id) {
    auto rows =
        db_.query("SELECT id, title, body, updated FROM notes WHERE account_id = ? AND id = ?", {accountId, id});
    if (rows.empty()) return std::nullopt;
    return noteFrom(rows[0]);
}

Notes::Note Notes::create(std::int64_t accountId, const std::string& title, const std::string& body, double now) {
    Note note{newNoteId(), title, body, now};
    db_.query("INSERT INTO notes (id, account_id, title, body, updated) VALUES (?, ?, ?, ?, ?)",
              {note.id, accountId, title, body, now});
    return note;
}

std::optional<Notes::Note> Notes::update(std::int64_t accountId, const std::string& id, const std::string& title,
                                         const std::string& body, double now) {
    auto rows = db_.query(
        "UPDATE notes SET title = ?, body = ?, updated = ? WHERE account_id = ? AND id = ? "
        "RETURNING id, title, body, updated",
        {title, body, now, accountId, id});
    if (rows.empty()) return std::nullopt;
    return noteFrom(rows[0]);
}

bool Notes::remove(std::int64_t accountId, const std::string& id) {
    return !db_.query("DELETE FROM notes WHERE account_id = ? AND id = ? RETURNING id", {accountId, id}).empty();
}

}  // namespace vell::service

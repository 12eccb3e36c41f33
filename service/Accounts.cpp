#include "service/Accounts.h"

#include <sodium.h>

#include <algorithm>
#include <cctype>
#include <chrono>

namespace vell::service {

namespace {

std::string randomToken() {
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof bytes);
    char text[sizeof bytes * 2 + 1];
    sodium_bin2hex(text, sizeof text, bytes, sizeof bytes);
    return text;
}

const char* const kWrongCredentials = "Wrong e-mail or password.";
const char* const kSessionOver = "Your session has ended. Sign in again.";

}  // namespace

double systemClock() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

Accounts::Accounts(Database& db, Clock clock, Options options) : db_(db), clock_(std::move(clock)), options_(options) {
    if (sodium_init() < 0) throw std::runtime_error("libsodium could not start");
    db_.execute(R"(
        CREATE TABLE IF NOT EXISTS accounts (
            id INTEGER PRIMARY KEY,
            email TEXT NOT NULL UNIQUE,
            password_hash TEXT NOT NULL,
            created REAL NOT NULL);
        CREATE TABLE IF NOT EXISTS sessions (
            id INTEGER PRIMARY KEY,
            account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
            access_hash TEXT NOT NULL UNIQUE,
            access_expires REAL NOT NULL,
            refresh_hash TEXT NOT NULL UNIQUE,
            refresh_expires REAL NOT NULL);
        CREATE TABLE IF NOT EXISTS retired_refresh_tokens (
            refresh_hash TEXT PRIMARY KEY,
            session_id INTEGER NOT NULL REFERENCES sessions(id) ON DELETE CASCADE);
    )");
    migrate();
}

// Databases from before hand-offs belonged to their session gain the column.
void Accounts::migrate() {
    for (auto& column : db_.query("PRAGMA table_info(sessions)"))
        if (Database::text(column[1]) == "parent_id") return;
    db_.execute("ALTER TABLE sessions ADD COLUMN parent_id INTEGER REFERENCES sessions(id) ON DELETE CASCADE");
    db_.execute("CREATE INDEX IF NOT EXISTS sessions_by_parent ON sessions(parent_id)");
}

std::string Accounts::normaliseEmail(const std::string& email) {
    auto begin = std::find_if_not(email.begin(), email.end(), [](unsigned char c) { return std::isspace(c); });
    auto end = std::find_if_not(email.rbegin(), email.rend(), [](unsigned char c) { return std::isspace(c); }).base();
    std::string out(begin, begin < end ? end : begin);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string Accounts::hashOf(const std::string& token) const {
    unsigned char digest[32];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(token.data()), token.size(),
                       nullptr, 0);
    char text[sizeof digest * 2 + 1];
    sodium_bin2hex(text, sizeof text, digest, sizeof digest);
    return text;
}

std::string Accounts::hashPassword(const std::string& password) {
    char hash[crypto_pwhash_STRBYTES];
    hashing_.acquire();
    int failed = crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                   crypto_pwhash_MEMLIMIT_INTERACTIVE);
    hashing_.release();
    if (failed) throw std::runtime_error("out of memory while hashing a password");
    return hash;
}

bool Accounts::verifyPassword(const std::string& hash, const std::string& password) {
    hashing_.acquire();
    bool right = crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
    hashing_.release();
    return right;
}

Accounts::Session Accounts::signUp(const std::string& rawEmail, const std::string& password) {
    std::string email = normaliseEmail(rawEmail);
    auto at = email.find('@');
    bool control = std::any_of(email.begin(), email.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
    if (email.size() > 254 || at == std::string::npos || at == 0 || at + 1 >= email.size() || control ||
        email.find(' ') != std::string::npos)
        throw Refused("Enter a valid e-mail address.");
    if (password.size() < 8) throw Refused("Choose a password of at least 8 characters.");
    if (password.size() > 1024) throw Refused("That password is too long.");

    std::string hash = hashPassword(password);
    auto rows = db_.query(
        "INSERT INTO accounts (email, password_hash, created) VALUES (?, ?, ?) "
        "ON CONFLICT(email) DO NOTHING RETURNING id",
        {email, hash, clock_()});
    if (rows.empty()) throw Refused("An account with this e-mail address already exists.");
    return startSession(Database::integer(rows[0][0]));
}

Accounts::Session Accounts::signIn(const std::string& rawEmail, const std::string& password) {
    auto rows = db_.query("SELECT id, password_hash FROM accounts WHERE email = ?", {normaliseEmail(rawEmail)});
    if (rows.empty()) {
        std::call_once(decoyMade_, [this] { decoyHash_ = hashPassword(randomToken()); });
        verifyPassword(decoyHash_, password);
        throw Refused(kWrongCredentials);
    }
    if (!verifyPassword(Database::text(rows[0][1]), password)) throw Refused(kWrongCredentials);
    return startSession(Database::integer(rows[0][0]));
}

Accounts::Session Accounts::startSession(std::int64_t accountId, std::optional<std::int64_t> parent) {
    double now = clock_();
    Session session{randomToken(), randomToken(), now + options_.accessLifetime, {}};
    // Sessions that can no longer be refreshed are of no use to anyone.
    db_.query("DELETE FROM sessions WHERE refresh_expires <= ?", {now});
    std::int64_t parentId = parent.value_or(0);  // ids start at 1
    auto rows = db_.query(
        "INSERT INTO sessions (account_id, access_hash, access_expires, refresh_hash, refresh_expires, parent_id) "
        "SELECT id, ?, ?, ?, ?, NULLIF(?, 0) FROM accounts WHERE id = ? "
        "AND (? = 0 OR EXISTS (SELECT 1 FROM sessions WHERE id = ? AND account_id = ?)) "
        "RETURNING (SELECT email FROM accounts WHERE id = ?)",
        {hashOf(session.accessToken), session.expiresAt, hashOf(session.refreshToken), now + options_.refreshLifetime,
         parentId, accountId, parentId, parentId, accountId, accountId});
    if (rows.empty()) throw Refused(kSessionOver);
    session.email = Database::text(rows[0][0]);
    if (parent)
        db_.query(
            "DELETE FROM sessions WHERE parent_id = ? AND id NOT IN "
            "(SELECT id FROM sessions WHERE parent_id = ? ORDER BY id DESC LIMIT ?)",
            {*parent, *parent, static_cast<std::int64_t>(options_.handoffsPerSession)});
    return session;
}

Accounts::Session Accounts::refresh(const std::string& refreshToken) {
    double now = clock_();
    Session session{randomToken(), randomToken(), now + options_.accessLifetime, {}};
    std::string oldHash = hashOf(refreshToken);
    // One statement swaps the pair, so of two refreshes with the same token
    // exactly one wins and the retired token never works again.
    auto rows = db_.query(
        "UPDATE sessions SET access_hash = ?, access_expires = ?, refresh_hash = ?, refresh_expires = ? "
        "WHERE refresh_hash = ? AND refresh_expires > ? "
        "RETURNING id, (SELECT email FROM accounts WHERE accounts.id = sessions.account_id)",
        {hashOf(session.accessToken), session.expiresAt, hashOf(session.refreshToken), now + options_.refreshLifetime,
         oldHash, now});
    if (rows.empty()) {
        // A retired token presented again means someone else holds a copy:
        // neither party may go on with that session.
        db_.query(
            "DELETE FROM sessions WHERE id = (SELECT session_id FROM retired_refresh_tokens WHERE refresh_hash = ?)",
            {oldHash});
        throw Refused(kSessionOver);
    }
    // FIXME: retired tokens are kept until their session ends (one a refresh);
    // a session refreshed hourly for its 30 days leaves about 720 rows.
    db_.query("INSERT OR IGNORE INTO retired_refresh_tokens (refresh_hash, session_id) VALUES (?, ?)",
              {oldHash, rows[0][0]});
    session.email = Database::text(rows[0][1]);
    return session;
}

void Accounts::signOut(const std::string& accessToken) {
    db_.query("DELETE FROM sessions WHERE access_hash = ?", {hashOf(accessToken)});
}

void Accounts::signOutByRefresh(const std::string& refreshToken) {
    std::string hash = hashOf(refreshToken);
    db_.query(
        "DELETE FROM sessions WHERE refresh_hash = ? OR "
        "id = (SELECT session_id FROM retired_refresh_tokens WHERE refresh_hash = ?)",
        {hash, hash});
}

std::optional<Accounts::Identity> Accounts::authenticate(const std::string& accessToken) {
    if (accessToken.empty()) return std::nullopt;
    auto rows = db_.query(
        "SELECT accounts.id, sessions.id, accounts.email, sessions.access_expires FROM sessions "
        "JOIN accounts ON accounts.id = sessions.account_id WHERE sessions.access_hash = ? AND access_expires > ?",
        {hashOf(accessToken), clock_()});
    if (rows.empty()) return std::nullopt;
    return Identity{Database::integer(rows[0][0]), Database::integer(rows[0][1]), Database::text(rows[0][2]),
                    Database::real(rows[0][3])};
}

bool Accounts::empty() { return db_.query("SELECT 1 FROM accounts LIMIT 1").empty(); }

}  // namespace vell::service

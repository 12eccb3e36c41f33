#pragma once
// Accounts and their sessions. A session is a pair of opaque random tokens: a
// short-lived access token (sent as a bearer token with every call) and a
// refresh token that buys a new pair once and is then retired. A retired
// refresh token that comes back was copied: the whole session ends. A session
// may hand off a few sessions of its own (to the desktop program); they end
// with it. Only hashes of the tokens are stored; passwords are kept as
// Argon2id strings, and only a few are hashed at once (each takes 64 MiB).

#include "service/Database.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <semaphore>
#include <stdexcept>
#include <string>

namespace vell::service {

// Seconds since the epoch; injected so expiry is tested without waiting.
using Clock = std::function<double()>;
double systemClock();

class Accounts {
public:
    struct Options {
        double accessLifetime = 3600;         // seconds
        double refreshLifetime = 30 * 86400;  // seconds
        int handoffsPerSession = 4;           // the oldest ends when another is made
    };
    struct Session {
        std::string accessToken;
        std::string refreshToken;
        double expiresAt = 0;  // of the access token
        std::string email;
    };
    struct Identity {
        std::int64_t accountId = 0;
        std::int64_t sessionId = 0;
        std::string email;
        double expiresAt = 0;  // of the access token presented
    };
    // A request the service turns down; what() is the sentence shown to the user.
    struct Refused : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    Accounts(Database& db, Clock clock, Options options);

    Session signUp(const std::string& email, const std::string& password);
    Session signIn(const std::string& email, const std::string& password);
    // Retires the refresh token and answers a new pair.
    Session refresh(const std::string& refreshToken);
    // A new session of the account; with a parent, one that ends with it.
    Session startSession(std::int64_t accountId, std::optional<std::int64_t> parent = std::nullopt);
    // Ends the session holding either token (a retired refresh token too) and its hand-offs.
    void signOut(const std::string& accessToken);
    void signOutByRefresh(const std::string& refreshToken);
    std::optional<Identity> authenticate(const std::string& accessToken);
    bool empty();

    static std::string normaliseEmail(const std::string& email);

private:
    std::string hashOf(const std::string& token) const;
    std::string hashPassword(const std::string& password);
    bool verifyPassword(const std::string& hash, const std::string& password);
    void migrate();

    Database& db_;
    Clock clock_;
    Options options_;
    std::counting_semaphore<> hashing_{2};
    std::once_flag decoyMade_;
    std::string decoyHash_;  // verified for unknown addresses, so they cost as long as known ones
};

}  // namespace vell::service

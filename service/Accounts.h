#pragma once
// Accounts and their sessions. A session is a pair of opaque random tokens: a
// short-lived access token (sent as a bearer token with every call) and a
// refresh token that buys a new pair once and is then retired. Only hashes of
// the tokens are stored; passwords are kept as Argon2id strings.

#include "Database.h"

#include <cstdint>
#include <functional>
#include <optional>
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
    };
    struct Session {
        std::string accessToken;
        std::string refreshToken;
        double expiresAt = 0;  // of the access token
        std::string email;
    };
    struct Identity {
        std::int64_t accountId = 0;
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
    // A second, independent session of the same account (handed to the desktop).
    Session startSession(std::int64_t accountId);
    void signOut(const std::string& accessToken);
    std::optional<Identity> authenticate(const std::string& accessToken);
    bool empty();

    static std::string normaliseEmail(const std::string& email);

private:
    std::string hashOf(const std::string& token) const;

    Database& db_;
    Clock clock_;
    Options options_;
};

}  // namespace vell::service

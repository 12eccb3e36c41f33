#pragma once
// A session signed in with a fixed token, or signed out (then accessToken()
// fails as a signed-out session does). Counts the token questions.

#include <optional>
#include <string>

#include "session/Session.h"

namespace vell::test {

class FakeSession : public session::Session {
public:
    explicit FakeSession(std::string token = "tok-123") : token(std::move(token)) {}

    bool signedIn = true;
    std::string token;
    std::optional<std::string> address = "ada@example.com";
    int asked = 0;

    bool isSignedIn() const override { return signedIn; }
    std::optional<std::string> email() const override { return address; }
    Task<std::string> accessToken() override {
        ++asked;
        if (!signedIn) throw session::SessionError::signedOut();
        co_return token;
    }
};

}  // namespace vell::test

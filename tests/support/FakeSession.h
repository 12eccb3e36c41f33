#pragma once
// A session for the service clients' tests: a fixed token, or none (then
// accessToken() fails as a signed-out session does). Counts the questions.

#include <optional>
#include <string>

#include "session/Session.h"

namespace vell::test {

class FakeSession : public session::Session {
public:
    explicit FakeSession(std::optional<std::string> token = std::string("tok-123")) : token(std::move(token)) {}

    std::optional<std::string> token;
    std::optional<std::string> address;
    int asked = 0;

    bool isSignedIn() const override { return token.has_value(); }
    std::optional<std::string> email() const override { return address; }
    Task<std::string> accessToken() override {
        ++asked;
        if (!token) throw session::SessionError::signedOut();
        co_return *token;
    }
};

}  // namespace vell::test

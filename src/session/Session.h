#pragma once
// What the rest of the program asks of the sign-in: whether somebody is signed
// in, as whom, and a current access token for a service call.

#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Task.h"

namespace vell::session {

class SessionError : public Error {
public:
    SessionError() : Error("Sign in from the Vell panel first.") {}
    static SessionError signedOut() { return SessionError(); }
};

class Session {
public:
    virtual ~Session() = default;
    virtual bool isSignedIn() const = 0;
    virtual std::optional<std::string> email() const = 0;
    // A current, non-empty access token from the web application; throws
    // SessionError when nobody is signed in or the web application has none.
    virtual Task<std::string> accessToken() = 0;
    // While nobody is signed in here: a sign-in made inside the web
    // application itself is recorded as a handed-over one is (without handing
    // tokens back). True when it found one.
    virtual Task<bool> noticeSignInAtPage() { co_return false; }
};

}  // namespace vell::session

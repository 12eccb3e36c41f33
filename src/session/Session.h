#pragma once
// The signed-in session as the service clients see it: a current access token
// for every call, obtained from the web application.

#include <string>

#include "platform/Error.h"
#include "platform/Task.h"

namespace vell::session {

class SessionError : public Error {
public:
    static SessionError signedOut() { return SessionError("Sign in from the Vell panel first."); }

private:
    using Error::Error;
};

class Session {
public:
    virtual ~Session() = default;
    // A current, non-empty access token; throws SessionError when nobody is
    // signed in or the web application yields none.
    virtual Task<std::string> accessToken() = 0;
};

}  // namespace vell::session

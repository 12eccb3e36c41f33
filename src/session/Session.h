#pragma once
// What the rest of the program asks of the sign-in: is somebody signed in,
// with which address, and which access token to send to the service now.

#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Task.h"

namespace vell::session {

// The one session failure: nobody is signed in (any more).
class SessionError : public Error {
public:
    enum class Kind { signedOut };

    static SessionError signedOut() { return SessionError(); }
    SessionError() : Error("Sign in from the Vell panel first.") {}
    Kind kind() const { return Kind::signedOut; }
};

class Session {
public:
    virtual ~Session() = default;
    virtual bool isSignedIn() const = 0;
    // The signed-in account's address; absent when signed out or unknown.
    virtual std::optional<std::string> email() const = 0;
    // A current, non-empty access token for the "Authorization" header;
    // throws SessionError when there is none. Awaited on the main loop.
    virtual Task<std::string> accessToken() = 0;
};

}  // namespace vell::session

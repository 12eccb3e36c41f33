#pragma once
// What the session store needs of the web application that holds the real
// session (the panel's web view): hand it a session, ask it for a token, and
// erase it. Main thread only.

#include <optional>
#include <string>

#include "platform/Task.h"

namespace vell::session {

class SessionBridge {
public:
    virtual ~SessionBridge() = default;
    // Hands the tokens to the web application; returns at once and keeps
    // trying in the background. The expiry is accepted but not passed on.
    virtual void adopt(std::string accessToken, std::string refreshToken, std::optional<double> expiresAt) = 0;
    // A non-empty access token, asking up to `attempts` times; nothing when
    // the web application has none.
    virtual Task<std::optional<std::string>> bridgeToken(int attempts) = 0;
    // Erases everything the web application stored and reloads it.
    virtual void clear() = 0;
    // The address signed in at the web application, asked once and only
    // while it shows the service's own pages; nothing otherwise.
    virtual Task<std::optional<std::string>> signedInAddress() { co_return std::nullopt; }
};

}  // namespace vell::session

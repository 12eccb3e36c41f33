#pragma once
// Who is signed in, and an access token for the service right now.

#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Task.h"

namespace vell::session {

class Session {
public:
    virtual ~Session() = default;
    // Answers from memory; cheap enough to poll.
    virtual bool isSignedIn() = 0;
    virtual std::optional<std::string> email() = 0;
    // A current, non-empty access token; throws SessionError when there is none.
    virtual Task<std::string> accessToken() = 0;
};

}  // namespace vell::session

#pragma once
// The desktop around the program: the front application, this process,
// accessibility trust, the default browser and the login item.

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"

namespace vell::platform {

class Desktop {
public:
    // A running application, as found when it was in front.
    class Application {
    public:
        virtual ~Application() = default;
        virtual pid_t processId() const = 0;
        // Display name; absent when it has none.
        virtual std::optional<std::string> name() const = 0;
        virtual bool isTerminated() const = 0;
    };

    virtual ~Desktop() = default;
    // The application whose window has the focus; absent when none.
    virtual std::shared_ptr<Application> frontApplication() = 0;
    virtual pid_t ownProcessId() const = 0;
    // Whether this process may read and control other applications through the
    // accessibility interface (on Linux: the accessibility bus is reachable and enabled).
    virtual bool accessibilityTrusted() = 0;
    // Opens a web address in the default browser.
    virtual void openInBrowser(const std::string& url) = 0;
};

// The program's own start-at-login entry.
class LoginItem {
public:
    enum class Status { notRegistered, enabled, requiresApproval, notFound };

    // Raised by registerItem/unregisterItem; what() is the user-facing description.
    class Failure : public Error {
    public:
        using Error::Error;
    };

    virtual ~LoginItem() = default;
    virtual Status status() = 0;
    virtual void registerItem() = 0;
    virtual void unregisterItem() = 0;
};

}  // namespace vell::platform

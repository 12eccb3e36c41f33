#pragma once
// The desktop on X11: the front application is the process owning the active
// window (_NET_ACTIVE_WINDOW, or the input focus without a window manager);
// accessibility trust means the AT-SPI bus is there and enabled, kept from
// its change signals on a thread of its own so asking never blocks; web
// addresses go to the default browser through GIO.

#include <memory>

#include "platform/Desktop.h"

struct _XDisplay;  // Xlib's Display; its header defines macros (Status) that clash with ours

namespace vell::platform {

class X11Desktop final : public Desktop {
public:
    // Opens its own connection to the display named by $DISPLAY; without one
    // there is never a front application.
    X11Desktop();
    ~X11Desktop() override;

    std::shared_ptr<Application> frontApplication() override;
    pid_t ownProcessId() const override;
    bool accessibilityTrusted() override;
    void openInBrowser(const std::string& url) override;

private:
    class AccessibilityWatch;
    struct DisplayCloser {
        void operator()(_XDisplay* display) const;
    };
    std::unique_ptr<_XDisplay, DisplayCloser> display_;
    std::unique_ptr<AccessibilityWatch> accessibility_;
};

}  // namespace vell::platform

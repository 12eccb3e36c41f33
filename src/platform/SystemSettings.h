#pragma once
// The desktop's own switches and settings places the program sends a person to.

namespace vell::platform {

class SystemSettings {
public:
    virtual ~SystemSettings() = default;
    // Turns the desktop's accessibility support on, so other applications
    // expose their windows and this process may read and fill them.
    virtual void enableAccessibility() = 0;
    // Opens the desktop's accessibility settings; nothing where the desktop has none.
    virtual void openAccessibilitySettings() = 0;
};

}  // namespace vell::platform

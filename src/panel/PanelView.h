#pragma once
// The panel's content as behaviour and data: what is shown, when, with which
// words and symbols, and what each control does, computed from the
// controller's state without a display. A toolkit view draws it.

#include <functional>
#include <memory>

#include "dictation/DictationController.h"
#include "platform/Settings.h"

namespace vell::panel {

class PanelView {
public:
    // What the program hands the panel to do beyond the controller.
    struct Actions {
        std::function<void()> openWebApp;
        std::function<void()> openSignIn;
        std::function<void()> openAccessibility;
        std::function<void()> quit;
    };

    static constexpr const char* collapsedKey = "vell.panel.collapsed";
};

}  // namespace vell::panel

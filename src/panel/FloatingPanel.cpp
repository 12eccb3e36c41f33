#include "panel/FloatingPanel.h"

namespace vell::panel {

FloatingPanel::FloatingPanel(platform::PanelWindow& window) : window_(window) {}

void FloatingPanel::show() {
    const auto area = window_.workArea();
    if (!area) return;  // no screen: stay as it was, watch nothing
    window_.setFrame({area->x + area->width - width - inset, area->y + inset, width, height});
    window_.orderFront();
    // The old watch stops before the new one starts: never two at once.
    outsideClick_.reset();
    // The watch lives in this panel, so its handler may not outlive it; a
    // press that arrives after hide() finds the watch gone and is not delivered.
    outsideClick_ = window_.watchOutsidePresses([this] { hide(); });
}

void FloatingPanel::hide() {
    outsideClick_.reset();
    window_.orderOut();
}

bool FloatingPanel::isVisible() const { return window_.isVisible(); }

}  // namespace vell::panel

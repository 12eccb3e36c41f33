// FIXME: stand-ins for Hotkey and FloatingPanel until their own implementations
// (src/app/Hotkey.cpp, src/panel/FloatingPanel.cpp) are merged; delete this
// file then. They follow the headers' contracts closely enough to run the
// program and its delegate tests.

#include <utility>

#include "app/Hotkey.h"
#include "panel/FloatingPanel.h"

namespace vell::app {

Hotkey::Hotkey(platform::MainLoop& loop, platform::KeyGrab& grab) : loop_(loop), grab_(grab) {}

Hotkey::~Hotkey() { unregister(); }

bool Hotkey::registerKey(std::uint32_t keyCode, std::uint32_t modifiers) {
    unregister();
    alive_ = std::make_shared<int>(0);
    std::weak_ptr<int> alive = alive_;
    return grab_.grab({keyCode, modifiers}, [this, alive](bool pressed) {
        loop_.post([this, alive, pressed] {
            if (!alive.lock()) return;
            if (pressed == held_) return;  // auto-repeat
            held_ = pressed;
            pressed ? onDown() : onUp();
        });
    });
}

void Hotkey::unregister() {
    grab_.release();
    alive_.reset();
    held_ = false;
}

}  // namespace vell::app

namespace vell::panel {

FloatingPanel::FloatingPanel(platform::PanelWindow& window) : window_(window) {}

void FloatingPanel::show() {
    if (auto area = window_.workArea())
        window_.setFrame({area->x + area->width - width - inset, area->y + inset, width, height});
    window_.orderFront();
    if (!outsideClick_) outsideClick_ = window_.watchOutsidePresses([this] { hide(); });
}

void FloatingPanel::hide() {
    outsideClick_.reset();
    window_.orderOut();
}

bool FloatingPanel::isVisible() const { return window_.isVisible(); }

}  // namespace vell::panel

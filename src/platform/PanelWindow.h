#pragma once
// The floating panel's native window: undecorated, above other windows, on
// every workspace, out of the task bar, and never taking the front position
// from the application the person works in.

#include <functional>
#include <memory>
#include <optional>

namespace vell::platform {

class PanelWindow {
public:
    // Screen rectangle in pixels, origin at the top left.
    struct Rect {
        int x = 0, y = 0, width = 0, height = 0;
        bool operator==(const Rect&) const = default;
    };
    // Held while outside presses are watched; dropping it stops the watch.
    using Watch = std::shared_ptr<void>;

    virtual ~PanelWindow() = default;
    // The usable area (without panels and docks) of the monitor that holds the
    // focused window; absent when there is no screen.
    virtual std::optional<Rect> workArea() = 0;
    virtual void setFrame(Rect frame) = 0;
    // Maps and raises the window without activating it.
    virtual void orderFront() = 0;
    virtual void orderOut() = 0;
    virtual bool isVisible() const = 0;
    // Calls onPress on the main loop for each left or right mouse press
    // outside the window (and outside the program's own menus). The watch may
    // be dropped from inside onPress.
    virtual Watch watchOutsidePresses(std::function<void()> onPress) = 0;
};

}  // namespace vell::platform

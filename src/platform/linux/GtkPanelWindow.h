#pragma once
// The floating panel's window on X11 with GTK 3.
// Implements: an undecorated fixed-size window above others on every
// workspace, out of the task bar and pager, with corners rounded by a shape
// mask (and a translucent background when a compositor runs); the work area
// of the monitor holding the active window; mapping and raising without
// taking the focus; outside presses from XInput2 raw button events on the root
// window, checked against the program's own mapped windows.
// Does not: take the focus when shown or pressed; it accepts it only after
// allowTyping() (a press into a control that needs the keyboard) until
// hidden, and hiding then hands the focus back to the window that had it.
// FIXME: dragging the background does not move the panel: openbox activates a
// window the person moves, which would take the front from their application.

#include <gtk/gtk.h>

#include "platform/PanelWindow.h"

namespace vell::platform {

class GtkPanelWindow final : public PanelWindow {
public:
    static constexpr int cornerRadius = 18;

    GtkPanelWindow(int width, int height);
    ~GtkPanelWindow() override;
    GtkPanelWindow(const GtkPanelWindow&) = delete;
    GtkPanelWindow& operator=(const GtkPanelWindow&) = delete;

    GtkWindow* window() const { return window_; }
    // Whether the window draws with an alpha channel (a compositor is running).
    bool translucent() const { return translucent_; }
    // Lets the window take the keyboard focus and asks for it: the person
    // pressed into something that needs typing.
    void allowTyping(guint32 eventTime);

    std::optional<Rect> workArea() override;
    void setFrame(Rect frame) override;
    void orderFront() override;
    void orderOut() override;
    bool isVisible() const override;
    Watch watchOutsidePresses(std::function<void()> onPress) override;

private:
    GtkWindow* window_;
    bool translucent_ = false;
    unsigned long typingFrom_ = 0;  // the X window active before the panel took the focus
};

}  // namespace vell::platform

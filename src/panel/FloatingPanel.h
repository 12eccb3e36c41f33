#pragma once
// The window that carries the panel view: opened 12 px in from the top-right
// corner of the work area, hidden by a press anywhere else. At most one
// outside-press watch exists, whatever the order of calls.

#include "platform/PanelWindow.h"

namespace vell::panel {

class FloatingPanel {
public:
    static constexpr int width = 360;
    static constexpr int height = 680;
    static constexpr int inset = 12;

    explicit FloatingPanel(platform::PanelWindow& window);

    // Back to its corner, to the front without activation, watching outside presses.
    void show();
    void hide();
    bool isVisible() const;

private:
    platform::PanelWindow& window_;
    platform::PanelWindow::Watch outsideClick_;
};

}  // namespace vell::panel

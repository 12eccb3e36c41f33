#pragma once
// The floating panel drawn with GTK 3: the panel view's model as widgets in
// the panel window, with the one shared web view filling the rest.
// Implements: every block of the model (header, gear menu, checklist, big
// buttons, status line with the animated waveform, undo, problem banner,
// latest card, collapsed strip); a redraw on the main-loop turn after a
// controller change, coalesced, and none while nothing changes; presses
// forwarded to the view; accessible names on every control for AT-SPI.
// Does not: draw anything the model does not say, or move the focus away
// from the front application, except into the web view when it is pressed.

#include <gtk/gtk.h>

#include <memory>

#include "panel/PanelView.h"
#include "platform/linux/GtkPanelWindow.h"

namespace vell::platform {

class GtkPanel {
public:
    struct Services {
        std::shared_ptr<dictation::DictationController> controller;
        panel::PanelView::Actions actions;
        Settings& settings;
        Clipboard& clipboard;
        std::function<void()> clearSession;
        GtkWidget* webView;  // shown in the rest of the panel, never recreated
    };

    explicit GtkPanel(Services services);
    ~GtkPanel();
    GtkPanel(const GtkPanel&) = delete;
    GtkPanel& operator=(const GtkPanel&) = delete;

    GtkPanelWindow& window() { return window_; }
    panel::PanelView& view() { return view_; }
    // Draws the current model now (a controller change does it by itself).
    void redraw();
    // How many times the model was drawn.
    int redraws() const { return redraws_; }

private:
    struct Widgets;

    void scheduleRedraw();
    void build();

    panel::PanelView view_;
    GtkPanelWindow window_;
    std::unique_ptr<Widgets> widgets_;
    GtkWidget* webView_ = nullptr;
    dictation::ChangeSignal::Subscription subscription_;
    guint pendingRedraw_ = 0;
    bool drawing_ = false;  // widgets being set from the model: their signals are not presses
    int redraws_ = 0;
};

}  // namespace vell::platform

#pragma once
// The program's tray item on a Linux desktop.
//
// Implements:
//   - a StatusNotifierItem on the session bus (org.kde.StatusNotifierItem-PID-N,
//     object /StatusNotifierItem), registered with the StatusNotifierWatcher:
//     icon by name with the program's icon folder as IconThemePath, ToolTip,
//     Title and the XAyatanaLabel text beside the icon, with their change
//     signals; Activate is the primary click; ContextMenu and
//     SecondaryActivate pop up the menu; Scroll is ignored
//   - its menu over com.canonical.dbusmenu (libdbusmenu-glib, object
//     /MenuBar), built by the provider each time the host is about to show it
//   - without a watcher on the bus: an XEmbed tray icon (GtkStatusIcon), left
//     click primary, right click the menu; the item moves to the watcher as
//     soon as one appears, and back when it goes
// Does not implement: an accessible name on the StatusNotifierItem (the
// protocol has none; the tooltip carries the same text), a title beside an
// XEmbed icon (XEmbed shows only the image), icon pixmaps.

#include <memory>
#include <string>

#include "platform/StatusItem.h"

namespace vell::platform {

class TrayStatusItem final : public StatusItem {
public:
    // Starts on the session bus (and the display, for the fallback) at once;
    // a tray host accepts the item a few main-loop turns later.
    TrayStatusItem();
    ~TrayStatusItem() override;  // removes the item
    TrayStatusItem(const TrayStatusItem&) = delete;
    TrayStatusItem& operator=(const TrayStatusItem&) = delete;

    bool setImage(const std::string& symbol, const std::string& description) override;
    void setToolTip(const std::string& text) override;
    void setTitle(const std::string& text) override;
    void setOnPrimaryClick(std::function<void()> action) override;
    void setMenuProvider(std::function<Menu()> provider) override;
    bool isShown() const override;
    void remove() override;

    // The well-known name the item holds on the session bus.
    const std::string& busName() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vell::platform

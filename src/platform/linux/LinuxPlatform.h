#pragma once
// Every Linux backend of the program in one object, built the same way by the
// program and by the end-to-end tests.
//
// Implements: main loop (GLib), HTTP (libcurl), microphone (PulseAudio),
// clipboard (GTK), synthetic keys (XTest), desktop (X11), login item (XDG
// autostart), accessibility (AT-SPI), the accessibility switch and settings
// (GDBus + the desktop's settings program), the panel's web view (WebKitGTK),
// the global key grab (X11), the tray item (StatusNotifierItem, XEmbed when no
// watcher), the person's settings (a GLib key file).
// Not here: the floating panel, which draws the controller (GtkPanel, built by
// the program).

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/StatusItem.h"
#include "platform/SystemSettings.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/CurlHttpClient.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/GtkClipboard.h"
#include "platform/linux/KeyFileSettings.h"
#include "platform/linux/PulseAudioInput.h"
#include "platform/linux/WebKitWebView.h"
#include "platform/linux/X11Desktop.h"
#include "platform/linux/X11KeyGrab.h"
#include "platform/linux/XTestKeyboard.h"
#include "platform/linux/XdgLoginItem.h"

namespace vell::platform {

// The accessibility switch is org.a11y.Status.IsEnabled on the accessibility
// bus; the settings place is the desktop's own program, chosen by $XDG_CURRENT_DESKTOP.
class LinuxSystemSettings final : public SystemSettings {
public:
    // The command that opens the accessibility settings of the first desktop
    // named in `currentDesktop` (colon-separated) that has one; empty for none.
    static std::vector<std::string> accessibilitySettingsCommand(std::string_view currentDesktop);

    void enableAccessibility() override;
    void openAccessibilitySettings() override;
};

class LinuxPlatform {
public:
    struct Options {
        WebKitWebView::Options webView = WebKitWebView::Options::standard();
        std::filesystem::path program;                                         // what the login item starts
        std::filesystem::path configHome = XdgLoginItem::defaultConfigHome();  // autostart/ and vell/
    };

    explicit LinuxPlatform(Options options);
    ~LinuxPlatform();
    LinuxPlatform(const LinuxPlatform&) = delete;
    LinuxPlatform& operator=(const LinuxPlatform&) = delete;

    std::unique_ptr<WebView> makeWebView() const;
    std::unique_ptr<StatusItem> makeStatusItem() const;

    // The path of this process's executable.
    static std::filesystem::path ownExecutable();

    // Process-wide choices the toolkits read once, at their start: call before
    // GTK opens the display. Variables the person has set are left alone.
    static void prepareProcess();

    const Options options;
    GlibMainLoop loop;
    CurlHttpClient http;
    PulseAudioInput microphone;
    GtkClipboard clipboard{loop};
    XTestKeyboard keyboard;
    X11Desktop desktop;
    XdgLoginItem loginItem;
    AtspiAccessibility accessibility;
    LinuxSystemSettings systemSettings;
    X11KeyGrab keyGrab;
    KeyFileSettings settings;
};

}  // namespace vell::platform

#include "platform/linux/LinuxPlatform.h"

#include "platform/Folders.h"
#include "platform/linux/TrayStatusItem.h"

#include <gio/gio.h>

#include <array>
#include <cstdlib>
#include <utility>

namespace vell::platform {
namespace {

struct DesktopSettings {
    std::string_view desktop;
    std::array<const char*, 2> command;
};
constexpr std::array<DesktopSettings, 8> accessibilityPlaces{{
    {"GNOME", {"gnome-control-center", "universal-access"}},
    {"Unity", {"gnome-control-center", "universal-access"}},
    {"Budgie", {"gnome-control-center", "universal-access"}},
    {"X-Cinnamon", {"cinnamon-settings", "universal-access"}},
    {"KDE", {"systemsettings", "kcm_access"}},
    {"XFCE", {"xfce4-accessibility-settings", nullptr}},
    {"MATE", {"mate-at-properties", nullptr}},
    {"LXQt", {"lxqt-config-accessibility", nullptr}},
}};

}  // namespace

std::vector<std::string> LinuxSystemSettings::accessibilitySettingsCommand(std::string_view currentDesktop) {
    while (!currentDesktop.empty()) {
        const auto end = currentDesktop.find(':');
        const auto name = currentDesktop.substr(0, end);
        for (const auto& place : accessibilityPlaces) {
            if (place.desktop != name) continue;
            std::vector<std::string> command;
            for (const char* word : place.command)
                if (word) command.emplace_back(word);
            return command;
        }
        if (end == std::string_view::npos) break;
        currentDesktop.remove_prefix(end + 1);
    }
    return {};
}

void LinuxSystemSettings::enableAccessibility() {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return;
    GVariant* result =
        g_dbus_connection_call_sync(bus, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
                                    g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)),
                                    nullptr, G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    if (result) g_variant_unref(result);
    g_object_unref(bus);
}

void LinuxSystemSettings::openAccessibilitySettings() {
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    auto command = accessibilitySettingsCommand(desktop ? desktop : "");
    if (command.empty()) return;
    std::vector<char*> argv;
    for (auto& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    g_spawn_async(nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr, nullptr);
}

LinuxPlatform::LinuxPlatform(Options chosen)
    : options(std::move(chosen)),
      loginItem(options.program, options.configHome),
      settings(options.configHome / "vell" / "settings.ini") {}

LinuxPlatform::~LinuxPlatform() = default;

std::unique_ptr<WebView> LinuxPlatform::makeWebView() const { return std::make_unique<WebKitWebView>(options.webView); }

std::unique_ptr<StatusItem> LinuxPlatform::makeStatusItem() const { return std::make_unique<TrayStatusItem>(); }

std::filesystem::path LinuxPlatform::ownExecutable() {
    auto path = folders::executable();
    return path.empty() ? std::filesystem::path("vell") : path;
}

void LinuxPlatform::prepareProcess() {
    // The panel draws plain widgets and one small page, without a GPU: GTK need
    // not probe GLX, and the page's frames can come over shared memory rather
    // than DMA-BUF. Each keeps a set of graphics buffers and mappings out of the
    // program (about 3 MiB each).
    g_setenv("GDK_GL", "disable", FALSE);
    g_setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", FALSE);
}

}  // namespace vell::platform

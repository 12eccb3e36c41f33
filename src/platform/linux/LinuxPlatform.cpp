#include "platform/linux/LinuxPlatform.h"

#include <gio/gio.h>
#include <gtk/gtk.h>

#include <array>
#include <cstdlib>
#include <utility>

namespace vell::platform {
namespace {

// FIXME: interim until X11KeyGrab is merged: the combination is never ours.
class InterimKeyGrab final : public KeyGrab {
public:
    bool grab(Combination, Handler) override { return false; }
    void release() override {}
};

// FIXME: interim until the StatusNotifierItem backend is merged: an XEmbed
// tray icon, shown where a system tray exists.
class InterimStatusItem final : public StatusItem {
public:
    InterimStatusItem() {
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        icon_ = gtk_status_icon_new();
        gtk_status_icon_set_title(icon_, "Vell");
        G_GNUC_END_IGNORE_DEPRECATIONS
        g_signal_connect(icon_, "activate", G_CALLBACK(+[](GtkStatusIcon*, gpointer self) {
                             auto& item = *static_cast<InterimStatusItem*>(self);
                             if (item.primary_) item.primary_();
                         }),
                         this);
        g_signal_connect(icon_, "popup-menu", G_CALLBACK(+[](GtkStatusIcon*, guint, guint, gpointer self) {
                             static_cast<InterimStatusItem*>(self)->popUp();
                         }),
                         this);
    }
    ~InterimStatusItem() override {
        g_signal_handlers_disconnect_by_data(icon_, this);
        g_object_unref(icon_);
        if (menu_) gtk_widget_destroy(menu_);
    }

    bool setImage(const std::string& symbol, const std::string& description) override {
        static constexpr std::array<std::pair<std::string_view, const char*>, 4> names{{
            {"mic", "audio-input-microphone"},
            {"mic.fill", "media-record"},
            {"ellipsis", "content-loading"},
            {"square.and.pencil", "document-edit"},
        }};
        for (const auto& [name, icon] : names) {
            if (name != symbol || !gtk_icon_theme_has_icon(gtk_icon_theme_get_default(), icon)) continue;
            G_GNUC_BEGIN_IGNORE_DEPRECATIONS
            gtk_status_icon_set_from_icon_name(icon_, icon);
            gtk_status_icon_set_name(icon_, description.c_str());
            G_GNUC_END_IGNORE_DEPRECATIONS
            return true;
        }
        return false;
    }
    void setToolTip(const std::string& text) override {
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        gtk_status_icon_set_tooltip_text(icon_, text.c_str());
        G_GNUC_END_IGNORE_DEPRECATIONS
    }
    void setTitle(const std::string&) override {}  // an XEmbed icon has no text beside it
    void setOnPrimaryClick(std::function<void()> action) override { primary_ = std::move(action); }
    void setMenuProvider(std::function<Menu()> provider) override { provider_ = std::move(provider); }
    bool isShown() const override {
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        return gtk_status_icon_is_embedded(icon_);
        G_GNUC_END_IGNORE_DEPRECATIONS
    }
    void remove() override {
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        gtk_status_icon_set_visible(icon_, FALSE);
        G_GNUC_END_IGNORE_DEPRECATIONS
    }

private:
    void popUp() {
        if (!provider_) return;
        if (menu_) gtk_widget_destroy(menu_);
        menu_ = gtk_menu_new();
        actions_.clear();
        for (auto& item : provider_()) {
            GtkWidget* entry =
                item.isSeparator() ? gtk_separator_menu_item_new() : gtk_menu_item_new_with_label(item.title.c_str());
            if (!item.isSeparator()) {
                actions_.push_back(std::make_unique<std::function<void()>>(std::move(item.action)));
                g_signal_connect(entry, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer action) {
                                     auto& run = *static_cast<std::function<void()>*>(action);
                                     if (run) run();
                                 }),
                                 actions_.back().get());
            }
            gtk_menu_shell_append(GTK_MENU_SHELL(menu_), entry);
        }
        gtk_widget_show_all(menu_);
        gtk_menu_popup_at_pointer(GTK_MENU(menu_), nullptr);
    }

    GtkStatusIcon* icon_ = nullptr;
    GtkWidget* menu_ = nullptr;
    std::vector<std::unique_ptr<std::function<void()>>> actions_;
    std::function<void()> primary_;
    std::function<Menu()> provider_;
};

// FIXME: interim until the GTK panel is merged: a plain undecorated window
// above the others, out of the task bar, showing the content.
class InterimPanelWindow final : public PanelWindow {
public:
    explicit InterimPanelWindow(GtkWidget* content) : window_(gtk_window_new(GTK_WINDOW_TOPLEVEL)) {
        g_object_ref_sink(window_);
        GtkWindow* window = GTK_WINDOW(window_);
        gtk_window_set_title(window, "Vell");
        gtk_window_set_decorated(window, FALSE);
        gtk_window_set_keep_above(window, TRUE);
        gtk_window_stick(window);
        gtk_window_set_skip_taskbar_hint(window, TRUE);
        gtk_window_set_skip_pager_hint(window, TRUE);
        gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_UTILITY);
        gtk_window_set_focus_on_map(window, FALSE);
        g_signal_connect(window_, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);
        if (content) gtk_container_add(GTK_CONTAINER(window_), content);
    }
    ~InterimPanelWindow() override {
        if (GtkWidget* child = gtk_bin_get_child(GTK_BIN(window_))) gtk_container_remove(GTK_CONTAINER(window_), child);
        gtk_widget_destroy(window_);
        g_object_unref(window_);
    }

    std::optional<Rect> workArea() override {
        GdkDisplay* display = gdk_display_get_default();
        GdkMonitor* monitor = display ? gdk_display_get_primary_monitor(display) : nullptr;
        if (!monitor && display) monitor = gdk_display_get_monitor(display, 0);
        if (!monitor) return std::nullopt;
        GdkRectangle area;
        gdk_monitor_get_workarea(monitor, &area);
        return Rect{area.x, area.y, area.width, area.height};
    }
    void setFrame(Rect frame) override {
        gtk_window_resize(GTK_WINDOW(window_), frame.width, frame.height);
        gtk_window_move(GTK_WINDOW(window_), frame.x, frame.y);
    }
    void orderFront() override {
        gtk_widget_show_all(window_);
        gdk_window_raise(gtk_widget_get_window(window_));
    }
    void orderOut() override { gtk_widget_hide(window_); }
    bool isVisible() const override { return gtk_widget_get_visible(window_); }
    Watch watchOutsidePresses(std::function<void()>) override { return std::make_shared<int>(0); }

private:
    GtkWidget* window_;
};

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
      keyGrab(std::make_unique<InterimKeyGrab>()) {}

LinuxPlatform::~LinuxPlatform() = default;

std::unique_ptr<WebView> LinuxPlatform::makeWebView() const { return std::make_unique<WebKitWebView>(options.webView); }

std::unique_ptr<StatusItem> LinuxPlatform::makeStatusItem() const { return std::make_unique<InterimStatusItem>(); }

std::unique_ptr<PanelWindow> LinuxPlatform::makePanelWindow(void* content) const {
    return std::make_unique<InterimPanelWindow>(static_cast<GtkWidget*>(content));
}

std::filesystem::path LinuxPlatform::ownExecutable() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path("vell") : path;
}

}  // namespace vell::platform
